#include "app/Model/Clock.h"

#include <cmath>
#include <cstdint>
#include <limits>

#include <fmt/format.h>

namespace veltovoice {

std::string clock(double seconds) {
  if (!std::isfinite(seconds)) return "\u2014";
  // Beyond the 64-bit range the cast would be undefined; such a time reads as the largest one.
  constexpr double kBeyondInt64 = 9223372036854775808.0;  // 2^63
  std::int64_t s = 0;
  if (seconds >= kBeyondInt64) {
    s = std::numeric_limits<std::int64_t>::max();
  } else if (seconds > 0) {
    s = static_cast<std::int64_t>(seconds);
  }
  if (s >= 3600) return fmt::format("{}:{:02}:{:02}", s / 3600, (s / 60) % 60, s % 60);
  return fmt::format("{:02}:{:02}", s / 60, s % 60);
}

}  // namespace veltovoice
