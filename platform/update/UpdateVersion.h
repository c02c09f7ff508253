#pragma once

#include <string_view>

// Release versions: one or more parts of decimal digits joined by ".", at most kMaxVersionLength
// characters ("42", "1.10.3"). Parts compare numerically, left to right, a missing part counting as
// 0 ("1.10" is after "1.9"; "1.0" equals "1").
namespace platform::UpdateVersion {

inline constexpr std::size_t kMaxVersionLength = 64;

// Whether `text` is a version of the form above.
bool isValid(std::string_view text);

// Negative, 0 or positive as `a` is before, equal to or after `b`.
// REQUIRES: isValid(a) && isValid(b).
int compare(std::string_view a, std::string_view b);

}  // namespace platform::UpdateVersion
