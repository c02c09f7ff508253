#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tesselaudio::detail {

// A speaker id text read as a decimal number: an optional "+" or "-" followed by digits only,
// within the signed 64-bit range; none for anything else (empty text, a sign alone, blanks,
// letters, overflow). Safe from any thread.
std::optional<std::int64_t> numericSpeakerId(std::string_view text);

}  // namespace tesselaudio::detail
