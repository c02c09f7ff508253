#pragma once

#include <chrono>
#include <optional>
#include <string_view>

namespace platform {

// Reads an HTTP date in exactly the form "Sun, 06 Nov 1994 08:49:37 GMT": English day and month
// abbreviations, two-digit day, four-digit year, 24-hour time, zone "GMT" (or "UTC"). Anything
// else, leading or trailing blanks included, gives nullopt.
std::optional<std::chrono::system_clock::time_point> parseHttpDate(std::string_view text);

}  // namespace platform
