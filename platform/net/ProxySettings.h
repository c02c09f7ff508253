#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform {

// Which HTTP proxy the client uses for http and for https addresses: per scheme whether a proxy is
// enabled, its host and its port. No proxy for a scheme means a direct connection. A value type.
struct ProxySettings {
  struct Entry {
    bool enabled = true;
    std::string host;
    int port = 0;
    bool operator==(const Entry&) const = default;
  };

  std::optional<Entry> https;
  std::optional<Entry> http;

  bool empty() const { return !https && !http; }
  bool operator==(const ProxySettings&) const = default;

  // The proxy that a URL text names: its host and explicit port; nullopt when the text is no URL,
  // has no host or names no port. Scheme, user, password and path are ignored.
  static std::optional<Entry> parseProxyURL(std::string_view text);

  // The settings of "https_proxy" and "http_proxy" (only these lower-case names); a variable that
  // is absent or unusable leaves its scheme without a proxy.
  static ProxySettings fromEnvironment();
};

}  // namespace platform
