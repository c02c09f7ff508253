#include "platform/net/ProxySettings.h"

#include "platform/net/Url.h"
#include "platform/sys/Environment.h"

namespace platform {

std::optional<ProxySettings::Entry> ProxySettings::parseProxyURL(std::string_view text) {
  const auto url = Url::parse(text);
  if (!url || url->host().empty() || !url->port()) return std::nullopt;
  return Entry{true, url->host(), *url->port()};
}

ProxySettings ProxySettings::fromEnvironment() {
  ProxySettings settings;
  if (auto text = Environment::value("https_proxy")) settings.https = parseProxyURL(*text);
  if (auto text = Environment::value("http_proxy")) settings.http = parseProxyURL(*text);
  return settings;
}

}  // namespace platform
