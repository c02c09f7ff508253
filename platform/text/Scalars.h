#pragma once

#include <optional>
#include <string>
#include <string_view>

// Unicode scalar values of UTF-8 text. Safe from any thread.
namespace platform::text {

// The scalars of `utf8` in order, or nullopt when it is not well-formed UTF-8 (overlong forms,
// surrogates and truncated sequences included).
std::optional<std::u32string> unicodeScalars(std::string_view utf8);

// `utf8` with every ill-formed sequence replaced by U+FFFD; well-formed text comes back unchanged.
std::string repairedUtf8(std::string_view utf8);

}  // namespace platform::text
