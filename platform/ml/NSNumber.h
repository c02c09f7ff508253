#pragma once

#include <concepts>
#include <cstdint>
#include <variant>

namespace platform {

// A number that is either an integer or a floating-point value, as element values of a multi-array
// cross the interface. Reading it as the other kind converts (floating to integer truncates toward
// zero). A plain value; safe to copy between threads.
class NSNumber {
 public:
  NSNumber() : value_(int64_t{0}) {}
  template <std::integral T>
  NSNumber(T value) : value_(static_cast<int64_t>(value)) {}  // NOLINT: implicit like a literal
  template <std::floating_point T>
  NSNumber(T value) : value_(static_cast<double>(value)) {}  // NOLINT: implicit like a literal

  bool isFloatingPoint() const { return std::holds_alternative<double>(value_); }
  int64_t int64Value() const;
  int32_t int32Value() const { return static_cast<int32_t>(int64Value()); }
  int intValue() const { return int32Value(); }
  double doubleValue() const;
  float floatValue() const { return static_cast<float>(doubleValue()); }

  // Numeric equality: 2 equals 2.0.
  bool operator==(const NSNumber& other) const { return doubleValue() == other.doubleValue(); }

 private:
  std::variant<int64_t, double> value_;
};

}  // namespace platform
