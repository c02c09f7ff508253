#include "platform/text/Whitespace.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

namespace platform::text {
namespace {

template <class Predicate>
std::string trim(std::string_view utf8, Predicate isTrimmed) {
  const auto* s = reinterpret_cast<const uint8_t*>(utf8.data());
  const int32_t length = static_cast<int32_t>(utf8.size());
  int32_t begin = 0;
  while (begin < length) {
    int32_t next = begin;
    UChar32 c;
    U8_NEXT(s, next, length, c);
    if (c < 0 || !isTrimmed(static_cast<char32_t>(c))) break;
    begin = next;
  }
  int32_t end = length;
  while (end > begin) {
    int32_t previous = end;
    UChar32 c;
    U8_PREV(s, begin, previous, c);
    if (c < 0 || !isTrimmed(static_cast<char32_t>(c))) break;
    end = previous;
  }
  return std::string(utf8.substr(begin, end - begin));
}

}  // namespace

bool isBlank(char32_t c) {
  return c == U'\t' || u_charType(static_cast<UChar32>(c)) == U_SPACE_SEPARATOR;
}

bool isWhitespaceOrNewline(char32_t c) {
  return isBlank(c) || (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029;
}

std::string trimBlanks(std::string_view utf8) { return trim(utf8, isBlank); }

std::string trimWhitespaceAndNewlines(std::string_view utf8) {
  return trim(utf8, isWhitespaceOrNewline);
}

}  // namespace platform::text
