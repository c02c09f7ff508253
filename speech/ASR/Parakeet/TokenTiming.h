#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json_fwd.hpp>

namespace tesselaudio {

// Timing of one recognised token. JSON: "token", "tokenId", "startTime", "endTime",
// "confidence", all written and all required.
struct TokenTiming {
  std::string token;  // the token text, word-boundary marks replaced by spaces
  std::int64_t tokenId = 0;
  double startTime = 0;  // seconds
  double endTime = 0;    // seconds
  float confidence = 0;

  // Throws platform::JsonCodingError for a time or confidence that is not finite.
  nlohmann::json toJson() const;
  // Throws platform::JsonCodingError for a missing key or a value of the wrong type.
  static TokenTiming fromJson(const nlohmann::json& json);

  bool operator==(const TokenTiming&) const = default;
};

}  // namespace tesselaudio
