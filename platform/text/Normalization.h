#pragma once

#include <string>
#include <string_view>

// Unicode normalisation of UTF-8 text (ICU). Safe from any thread.
namespace platform::text {

// `utf8` in Normalization Form C, so canonically equivalent texts (precomposed é and e followed by
// U+0301) become the same bytes. Invalid UTF-8 sequences become U+FFFD.
std::string toNfc(std::string_view utf8);

// `utf8` in Normalization Form KC: compatibility forms become their plain letters ("ﬁ" becomes
// "fi", U+00A0 and U+3000 become U+0020), then composed as in toNfc. Invalid UTF-8 sequences
// become U+FFFD.
std::string toNfkc(std::string_view utf8);

}  // namespace platform::text
