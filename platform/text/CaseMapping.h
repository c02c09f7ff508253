#pragma once

#include <string>
#include <string_view>

// Upper- and lower-casing of UTF-8 text by a locale's rules (ICU). Safe from any thread.
namespace platform::text {

// `utf8` in lower (upper) case under `locale` (an ICU locale name such as "en_US" or "tr"; empty
// for the root rules). Invalid UTF-8 sequences become U+FFFD.
std::string toLowerCase(std::string_view utf8, const std::string& locale = {});
std::string toUpperCase(std::string_view utf8, const std::string& locale = {});

// `utf8` in lower (upper) case by the root rules, the same whatever the process locale: full
// mappings, so one character may become several ("ß" upper-cases to "SS"). Invalid UTF-8
// sequences become U+FFFD.
std::string lowercased(std::string_view utf8);
std::string uppercased(std::string_view utf8);

}  // namespace platform::text
