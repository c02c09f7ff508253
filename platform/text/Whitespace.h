#pragma once

#include <string>
#include <string_view>

// Unicode whitespace classes on UTF-8 text. Safe from any thread.
namespace platform::text {

// True for the tab and the space separators (general category Zs: U+0020, U+00A0, U+3000, ...).
// Line breaks are not blanks.
bool isBlank(char32_t c);

// True for blanks and line breaks (U+000A to U+000D, U+0085, U+2028, U+2029).
bool isWhitespaceOrNewline(char32_t c);

// `utf8` without leading and trailing blanks (isBlank).
std::string trimBlanks(std::string_view utf8);

// `utf8` without leading and trailing blanks and line breaks (isWhitespaceOrNewline).
std::string trimWhitespaceAndNewlines(std::string_view utf8);

}  // namespace platform::text
