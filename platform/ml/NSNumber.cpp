#include "platform/ml/NSNumber.h"

#include <cmath>
#include <limits>

namespace platform {

int64_t NSNumber::int64Value() const {
  if (const auto* integer = std::get_if<int64_t>(&value_)) return *integer;
  const double value = std::get<double>(value_);
  // Out-of-range and NaN values would be undefined behaviour in a plain cast.
  if (std::isnan(value)) return 0;
  if (value >= 9.2233720368547758e18) return std::numeric_limits<int64_t>::max();
  if (value <= -9.2233720368547758e18) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(value);
}

double NSNumber::doubleValue() const {
  if (const auto* integer = std::get_if<int64_t>(&value_)) return static_cast<double>(*integer);
  return std::get<double>(value_);
}

}  // namespace platform
