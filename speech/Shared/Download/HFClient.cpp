#include "speech/Shared/Download/HFClient.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <charconv>
#include <mutex>
#include <vector>

#include "platform/net/HttpDate.h"
#include "platform/sys/Environment.h"
#include "platform/text/Graphemes.h"
#include "platform/text/Whitespace.h"
#include "speech/Shared/Download/DownloadError.h"
#include "speech/Shared/Download/ModelRegistry.h"

namespace tesselaudio::HFClient {

namespace {

constexpr std::size_t kSniffBytes = 512;
constexpr std::size_t kSnippetCharacters = 100;

std::atomic<bool>& offlineFlag() {
  static std::atomic<bool> flag{false};
  return flag;
}

std::string asciiLowered(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
  }
  return text;
}

// Replaces every invalid UTF-8 sequence with U+FFFD.
std::string lossyUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3
                                         : (lead >> 3) == 0x1E ? 4 : 0;
    if (length > 0 && i + length <= bytes.size() &&
        platform::text::isValidUtf8(bytes.substr(i, length))) {
      out.append(bytes.substr(i, length));
      i += length;
    } else {
      out.append("\xEF\xBF\xBD");
      i += 1;
    }
  }
  return out;
}

std::string trimmedAsciiSpace(std::string_view text) {
  return platform::text::trimWhitespaceAndNewlines(text);
}

// "rel" values of one Link element's parameters, or nullopt when it names none.
std::optional<std::vector<std::string>> relValues(std::string_view parameters) {
  const std::string lowered = asciiLowered(std::string(parameters));
  const auto at = lowered.find("rel=");
  if (at == std::string::npos) return std::nullopt;
  std::string value = lowered.substr(at + 4);
  value = value.substr(0, value.find(';'));
  value = trimmedAsciiSpace(value);
  const auto first = value.find_first_not_of('"');
  const auto last = value.find_last_not_of('"');
  value = first == std::string::npos ? "" : value.substr(first, last - first + 1);
  std::vector<std::string> pieces;
  std::size_t start = 0;
  while (start <= value.size()) {
    const auto space = value.find(' ', start);
    const auto piece = value.substr(start, space == std::string::npos ? std::string::npos : space - start);
    if (!piece.empty()) pieces.push_back(piece);
    if (space == std::string::npos) break;
    start = space + 1;
  }
  return pieces;
}

// A whole-text decimal floating-point number (no blanks around it), read without the locale.
std::optional<double> plainNumber(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

platform::HttpClient& session() {
  static std::once_flag logged;
  std::call_once(logged, [] { ModelRegistry::configureProxySettings(); });
  return platform::HttpClient::shared();
}

bool offlineMode() { return offlineFlag().load(); }

void setOfflineMode(bool offline) { offlineFlag().store(offline); }

std::optional<std::string> huggingFaceToken() {
  for (const char* name : {"HF_TOKEN", "HUGGING_FACE_HUB_TOKEN", "HUGGINGFACEHUB_API_TOKEN"}) {
    if (auto token = platform::Environment::value(name)) return token;
  }
  return std::nullopt;
}

platform::HttpRequest authorizedRequest(const platform::Url& url, double timeout) {
  platform::HttpRequest request;
  request.url = url.text();
  request.idleTimeout = timeout;
  if (auto token = huggingFaceToken()) request.headers.set("Authorization", "Bearer " + *token);
  return request;
}

std::optional<platform::Url> nextPageURL(const platform::HttpResponse& response) {
  const auto header = response.headers.value("Link");
  if (!header) return std::nullopt;
  std::string_view rest = *header;
  for (;;) {
    const auto open = rest.find('<');
    if (open == std::string_view::npos) return std::nullopt;
    const auto close = rest.find('>', open + 1);
    if (close == std::string_view::npos) return std::nullopt;
    const std::string_view target = rest.substr(open + 1, close - open - 1);
    const auto comma = rest.find(',', close + 1);
    const std::string_view parameters =
        rest.substr(close + 1, comma == std::string_view::npos ? std::string_view::npos : comma - close - 1);
    if (const auto rels = relValues(parameters)) {
      for (const auto& rel : *rels) {
        if (rel == "next") return platform::Url::parse(target);
      }
    }
    if (comma == std::string_view::npos) return std::nullopt;
    rest = rest.substr(comma + 1);
  }
}

bool looksLikeHTML(std::string_view body) {
  const std::string text =
      trimmedAsciiSpace(asciiLowered(lossyUtf8(body.substr(0, std::min(body.size(), kSniffBytes)))));
  return text.rfind("<!doctype html", 0) == 0 || text.rfind("<html", 0) == 0 ||
         text.rfind("<?xml", 0) == 0;
}

void validateJSONResponse(std::string_view body, const std::string& path) {
  const std::string_view head = body.substr(0, std::min(body.size(), kSniffBytes));
  if (platform::text::isValidUtf8(head)) {
    const std::string trimmed = trimmedAsciiSpace(head);
    if (!trimmed.empty() && trimmed.front() == '<') {
      throw DownloadError::htmlErrorResponse(
          path, platform::text::graphemePrefix(trimmed, kSnippetCharacters));
    }
    return;
  }
  if (looksLikeHTML(body)) throw DownloadError::htmlErrorResponse(path, "");
}

std::optional<double> retryAfter(const platform::HttpResponse& response) {
  const auto header = response.headers.value("Retry-After");
  if (!header) return std::nullopt;
  if (const auto seconds = plainNumber(*header)) {
    return std::isnan(*seconds) || *seconds < 0 ? 0.0 : *seconds;
  }
  if (const auto date = platform::parseHttpDate(*header)) {
    const std::chrono::duration<double> left = *date - std::chrono::system_clock::now();
    return std::max(left.count(), 0.0);
  }
  return std::nullopt;
}

}  // namespace tesselaudio::HFClient
