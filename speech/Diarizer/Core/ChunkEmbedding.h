#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace tesselaudio {

// The embedding of one local speaker of one chunk, as a diarizer exposes it for callers' own
// analysis. A plain value.
//
// JSON: an object with the seven field names as keys, all required: "speakerId" (string),
// "chunkIndex" and "speakerIndex" (integers), "startTimeSeconds" and "endTimeSeconds" (numbers),
// "embedding256" and "rho128" (arrays of numbers; an empty list is written as []).
struct ChunkEmbedding {
  // The global speaker label given to this local speaker.
  std::string speakerId;
  // Chunk number, from 0.
  std::int64_t chunkIndex = 0;
  // Local speaker slot within the chunk, from 0.
  std::int64_t speakerIndex = 0;
  // The local speaker's activity in the chunk, seconds.
  double startTimeSeconds = 0;
  double endTimeSeconds = 0;
  // The 256-value embedding as extracted.
  std::vector<float> embedding256;
  // The 128 PLDA features where the producer has them; empty otherwise.
  std::vector<double> rho128;

  // Throws platform::JsonCodingError (valueNotFinite) for a value that is not finite.
  nlohmann::ordered_json toJson() const;
  // Throws platform::JsonCodingError when a key is missing or a value has the wrong type.
  static ChunkEmbedding fromJson(const nlohmann::json& json);

  bool operator==(const ChunkEmbedding&) const = default;
};

}  // namespace tesselaudio
