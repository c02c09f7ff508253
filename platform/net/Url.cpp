#include "platform/net/Url.h"

#include <memory>

#include <curl/curl.h>

namespace platform {

namespace {

using UrlHandle = std::unique_ptr<CURLU, decltype(&curl_url_cleanup)>;

std::optional<std::string> part(CURLU* url, CURLUPart which, unsigned int flags = 0) {
  char* value = nullptr;
  if (curl_url_get(url, which, &value, flags) != CURLUE_OK || value == nullptr) return std::nullopt;
  std::string text(value);
  curl_free(value);
  return text;
}

std::string lowered(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
  }
  return text;
}

}  // namespace

std::optional<Url> Url::parse(std::string_view text) {
  UrlHandle handle(curl_url(), &curl_url_cleanup);
  if (!handle) return std::nullopt;
  // curl_url_set reads a C string: text with an embedded NUL is no URL.
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  const std::string copy(text);
  if (curl_url_set(handle.get(), CURLUPART_URL, copy.c_str(), 0) != CURLUE_OK) return std::nullopt;

  Url url;
  url.text_ = copy;
  url.scheme_ = lowered(part(handle.get(), CURLUPART_SCHEME).value_or(""));
  url.host_ = part(handle.get(), CURLUPART_HOST).value_or("");
  if (auto port = part(handle.get(), CURLUPART_PORT)) url.port_ = std::stoi(*port);
  url.path_ = part(handle.get(), CURLUPART_PATH, CURLU_URLDECODE).value_or("/");
  return url;
}

std::optional<int> Url::effectivePort() const {
  if (port_) return port_;
  if (scheme_ == "http") return 80;
  if (scheme_ == "https") return 443;
  return std::nullopt;
}

bool Url::sameOrigin(const Url& other) const {
  return scheme_ == other.scheme_ && lowered(host_) == lowered(other.host_) &&
         effectivePort() == other.effectivePort();
}

}  // namespace platform
