#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform {

// An absolute URL as libcurl's parser accepts it: a supported scheme, and no blanks or other
// characters that need escaping. The text is kept exactly as given. A value type.
class Url {
 public:
  // The parsed URL, or nullopt when the parser rejects the text (relative references included).
  static std::optional<Url> parse(std::string_view text);

  const std::string& text() const { return text_; }
  const std::string& scheme() const { return scheme_; }  // lower case
  const std::string& host() const { return host_; }      // empty when the URL has none
  // The port written in the URL; nullopt when it names none.
  std::optional<int> port() const { return port_; }
  // The port in effect: the written one, else the scheme's default (80, 443), else nullopt.
  std::optional<int> effectivePort() const;
  // The path with percent escapes decoded ("/" when the URL has no path).
  const std::string& path() const { return path_; }

  // Whether both name the same scheme, host and port (in effect).
  bool sameOrigin(const Url& other) const;

  bool operator==(const Url&) const = default;

 private:
  std::string text_;
  std::string scheme_;
  std::string host_;
  std::optional<int> port_;
  std::string path_;
};

}  // namespace platform
