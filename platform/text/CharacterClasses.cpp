#include "platform/text/CharacterClasses.h"

#include <unicode/uchar.h>

namespace platform::text {

bool isControlCharacter(char32_t c) {
  const auto category = u_charType(static_cast<UChar32>(c));
  return category == U_CONTROL_CHAR || category == U_FORMAT_CHAR;
}

bool isDecimalDigit(char32_t c) {
  return u_charType(static_cast<UChar32>(c)) == U_DECIMAL_DIGIT_NUMBER;
}

bool isLetterOrMark(char32_t c) {
  const auto mask = U_GET_GC_MASK(static_cast<UChar32>(c));
  return (mask & (U_GC_L_MASK | U_GC_M_MASK)) != 0;
}

bool isPunctuation(char32_t c) { return (U_GET_GC_MASK(static_cast<UChar32>(c)) & U_GC_P_MASK) != 0; }

bool isWhiteSpace(char32_t c) { return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_WHITE_SPACE); }

}  // namespace platform::text
