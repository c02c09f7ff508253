#pragma once

// Unicode character classes of single scalars, by the general category or property that names
// each (ICU's tables). Safe from any thread.
namespace platform::text {

// Control and format characters (general categories Cc and Cf): U+0000 to U+001F, U+007F to
// U+009F, soft hyphen, zero-width joiner, byte-order mark, ...
bool isControlCharacter(char32_t c);

// Decimal digits of any script (general category Nd).
bool isDecimalDigit(char32_t c);

// Letters and marks (general categories L and M).
bool isLetterOrMark(char32_t c);

// Punctuation of any script (general category P: connectors, dashes, brackets, quotes, other).
bool isPunctuation(char32_t c);

// The White_Space property: blanks, line breaks, U+0085, U+1680, U+2000 to U+200A, ...
bool isWhiteSpace(char32_t c);

}  // namespace platform::text
