#pragma once

#include <string>

#include <nlohmann/json_fwd.hpp>

#include "platform/sys/Uuid.h"

namespace voicecore {

// A marked position in a recording. A plain value, identified by `id`.
//
// JSON, keys in this order, every one required when reading: "id" and "recordingID" (upper-case
// UUID text), "seconds" (position in the recording), "note".
struct VoiceBookmark {
  platform::Uuid id;
  platform::Uuid recordingID;
  double seconds = 0;
  std::string note;

  // A bookmark with a new random id.
  static VoiceBookmark make(platform::Uuid recordingID, double seconds, std::string note);

  // Throws platform::JsonCodingError (valueNotFinite) for a position that is not finite.
  nlohmann::ordered_json toJson() const;
  // Throws platform::JsonCodingError when `json` is no bookmark object.
  static VoiceBookmark fromJson(nlohmann::json json);

  bool operator==(const VoiceBookmark&) const = default;
};

}  // namespace voicecore
