#include "platform/net/PercentEncoding.h"

#include <cstring>

namespace platform {

namespace {

bool keptInPath(unsigned char c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
  return c != '\0' && std::strchr("!$&'()*+,-./:;=@_~", c) != nullptr;
}

}  // namespace

std::string percentEncodePath(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  encoded.reserve(text.size());
  for (char raw : text) {
    const auto c = static_cast<unsigned char>(raw);
    if (keptInPath(c)) {
      encoded.push_back(raw);
    } else {
      encoded.push_back('%');
      encoded.push_back(kHex[c >> 4]);
      encoded.push_back(kHex[c & 0x0F]);
    }
  }
  return encoded;
}

}  // namespace platform
