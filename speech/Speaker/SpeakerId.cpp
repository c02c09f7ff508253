#include "speech/Speaker/SpeakerId.h"

#include <algorithm>
#include <charconv>

namespace tesselaudio::detail {

std::optional<std::int64_t> numericSpeakerId(std::string_view text) {
  std::string_view digits = text;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) digits.remove_prefix(1);
  if (digits.empty() ||
      !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  // from_chars reads a minus but no plus; the digits alone carry the value then.
  const std::string_view parsed = text.front() == '+' ? digits : text;
  std::int64_t value = 0;
  const auto result = std::from_chars(parsed.data(), parsed.data() + parsed.size(), value);
  if (result.ec != std::errc() || result.ptr != parsed.data() + parsed.size()) return std::nullopt;
  return value;
}

}  // namespace tesselaudio::detail
