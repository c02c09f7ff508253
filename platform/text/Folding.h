#pragma once

#include <string>
#include <string_view>

// Text folded for matching that ignores letter case and diacritics (ICU). Safe from any thread.
namespace platform::text {

// `utf8` decomposed (NFD), without its nonspacing marks, and fully case-folded ("Café" and "CAFE"
// both become "cafe", "Straße" becomes "strasse"). Invalid UTF-8 sequences become U+FFFD.
std::string foldCaseAndDiacritics(std::string_view utf8);

}  // namespace platform::text
