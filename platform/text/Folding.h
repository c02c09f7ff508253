#pragma once

#include <string>
#include <string_view>

// Text folded for matching that ignores letter case and diacritics (ICU). Safe from any thread.
namespace platform::text {

// `utf8` decomposed (NFD), without its nonspacing marks, and fully case-folded ("Café" and "CAFE"
// both become "cafe", "Straße" becomes "strasse"). Invalid UTF-8 sequences become U+FFFD.
std::string foldCaseAndDiacritics(std::string_view utf8);

// `utf8` decomposed (NFD), without its nonspacing marks, and composed again (NFC); letter case
// stays ("Café" becomes "Cafe"). Comparing the result with toNfc(utf8) tells whether a text
// carries diacritics. Invalid UTF-8 sequences become U+FFFD.
std::string foldDiacritics(std::string_view utf8);

}  // namespace platform::text
