#include "app/Model/Clock.h"

#include <cmath>
#include <cstdint>

#include <fmt/format.h>

namespace veltovoice {

std::string clock(double seconds) {
  if (!std::isfinite(seconds)) return "\u2014";
  std::int64_t s = static_cast<std::int64_t>(seconds);
  if (s < 0) s = 0;
  if (s >= 3600) return fmt::format("{}:{:02}:{:02}", s / 3600, (s / 60) % 60, s % 60);
  return fmt::format("{:02}:{:02}", s / 60, s % 60);
}

}  // namespace veltovoice
