#include "platform/text/DoubleText.h"

#include <charconv>
#include <cmath>
#include <system_error>

namespace platform::text {

namespace {

// The shortest digits that read back as the same value of type T, in the layout of shortestDouble.
template <class T>
std::string shortestText(T value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  const T magnitude = std::fabs(value);
  char buffer[64];
  if (magnitude == T(0) || (magnitude >= T(1e-4) && magnitude < T(1e16))) {
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    std::string text(buffer, result.ptr);
    if (text.find('.') == std::string::npos) text += ".0";
    return text;
  }
  // Scientific shortest form already writes "1e-05" and "-1e+300".
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  return std::string(buffer, result.ptr);
}

}  // namespace

std::string shortestDouble(double value) { return shortestText(value); }

std::string shortestFloat(float value) { return shortestText(value); }

std::optional<double> parseDouble(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  // from_chars takes a leading minus itself; a second sign must not slip through.
  if (text.empty() || text.front() == '+' || text.front() == '-') return std::nullopt;
  double value = 0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  if (result.ec != std::errc() || result.ptr != text.data() + text.size()) return std::nullopt;
  return negative ? -value : value;
}

}  // namespace platform::text
