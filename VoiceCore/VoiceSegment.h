#pragma once

#include <optional>
#include <string>

#include <nlohmann/json_fwd.hpp>

namespace voicecore {

// One timed piece of a recording's transcript. A plain value.
//
// JSON: {"text": string, "start": number, "end": number}; "start" and "end" are left out when
// absent, and read as absent when missing or null.
struct VoiceSegment {
  std::string text;
  // Seconds from the start of the recording.
  std::optional<double> start;
  std::optional<double> end;

  // Throws platform::JsonCodingError (valueNotFinite) for a time that is not finite.
  nlohmann::ordered_json toJson() const;
  // Throws platform::JsonCodingError when `json` is no segment object.
  static VoiceSegment fromJson(nlohmann::json json);

  bool operator==(const VoiceSegment&) const = default;
};

}  // namespace voicecore
