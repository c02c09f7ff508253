#pragma once

#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "VoiceCore/VoiceSegment.h"
#include "platform/sys/Uuid.h"

namespace voicecore {

// One imported recording. A plain value, identified by `id`.
//
// JSON, keys in this order, every one required when reading: "id" (upper-case UUID text),
// "title", "filename", "importedAt" (seconds since 2001-01-01 00:00:00 UTC), "duration"
// (seconds), "transcriptStatus" (free text), "segments" (array of VoiceSegment).
struct VoiceRecording {
  platform::Uuid id;
  std::string title;
  std::string filename;
  double importedAt = 0;
  double duration = 0;
  std::string transcriptStatus;
  std::vector<VoiceSegment> segments;

  // A recording imported now.
  static VoiceRecording make(platform::Uuid id, std::string title, std::string filename,
                             double duration, std::string transcriptStatus,
                             std::vector<VoiceSegment> segments);

  // Throws platform::JsonCodingError (valueNotFinite) for a number that is not finite.
  nlohmann::ordered_json toJson() const;
  // Throws platform::JsonCodingError when `json` is no recording object.
  static VoiceRecording fromJson(nlohmann::json json);

  bool operator==(const VoiceRecording&) const = default;
};

}  // namespace voicecore
