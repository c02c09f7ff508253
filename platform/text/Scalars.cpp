#include "platform/text/Scalars.h"

#include <cstdint>

#include <unicode/utf8.h>

namespace platform::text {

std::optional<std::u32string> unicodeScalars(std::string_view utf8) {
  const auto* s = reinterpret_cast<const uint8_t*>(utf8.data());
  const auto length = static_cast<int32_t>(utf8.size());
  std::u32string scalars;
  scalars.reserve(utf8.size());
  int32_t i = 0;
  while (i < length) {
    UChar32 c;
    U8_NEXT(s, i, length, c);
    if (c < 0) return std::nullopt;
    scalars.push_back(static_cast<char32_t>(c));
  }
  return scalars;
}

std::string repairedUtf8(std::string_view utf8) {
  const auto* s = reinterpret_cast<const uint8_t*>(utf8.data());
  const auto length = static_cast<int32_t>(utf8.size());
  std::string repaired;
  repaired.reserve(utf8.size());
  int32_t i = 0;
  while (i < length) {
    const int32_t start = i;
    UChar32 c;
    U8_NEXT(s, i, length, c);
    if (c < 0) {
      repaired += "\xEF\xBF\xBD";
    } else {
      repaired.append(utf8.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(i - start)));
    }
  }
  return repaired;
}

}  // namespace platform::text
