#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// User-perceived characters (extended grapheme clusters) of UTF-8 text. Invalid UTF-8 sequences
// count as one character each (ICU reads them as U+FFFD). Safe from any thread.
namespace platform::text {

// The number of user-perceived characters in `utf8`.
std::size_t graphemeCount(std::string_view utf8);

// `utf8` split into its user-perceived characters, each as UTF-8.
std::vector<std::string> graphemes(std::string_view utf8);

// The first `count` user-perceived characters of `utf8` (all of it when it has fewer).
std::string graphemePrefix(std::string_view utf8, std::size_t count);

// The longest prefix of `utf8` that ends on a character boundary and is at most `maxBytes` long.
std::string graphemePrefixWithinBytes(std::string_view utf8, std::size_t maxBytes);

// True when `utf8` is well-formed UTF-8.
bool isValidUtf8(std::string_view utf8);

}  // namespace platform::text
