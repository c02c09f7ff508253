#pragma once

#include <optional>
#include <string>
#include <string_view>

// Locale-independent text forms of doubles. The process locale (which Qt sets) never changes them.
// Safe from any thread.
namespace platform::text {

// The shortest decimal digits that read back as the same double, written the way a debug line or a
// text token shows a double:
//   - fixed notation for 1e-4 <= |value| < 1e16, integral values keeping ".0" (750000000.0, 0.5);
//   - otherwise exponent notation with a sign and at least two exponent digits (1e-05, -1e+300,
//     1.5e+20, 0.0 and -0.0 being the exceptions that stay fixed);
//   - "nan" for not-a-number, "inf" and "-inf" for infinities.
std::string shortestDouble(double value);

// The same for a float: the shortest digits that read back as the same float, so 3.9f is "3.9"
// where shortestDouble of it widened would write 3.9000000953674316.
std::string shortestFloat(float value);

// Reads a whole text as a decimal double: an optional "+" or "-", digits with an optional fraction
// and exponent, or "nan", "inf", "infinity" (any case). Gives none for anything else, including
// blanks around the number and a text that only starts with a number.
std::optional<double> parseDouble(std::string_view text);

}  // namespace platform::text
