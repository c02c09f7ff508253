#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "platform/sys/Uuid.h"

namespace tesselaudio {

// One entry of a speaker's embedding history: the embedding of one speech segment. A plain value.
//
// JSON, keys in this order, all required: "segmentId" (upper-case UUID text), "embedding" (array
// of numbers), "timestamp" (seconds since 2001-01-01 UTC). Decoding stores values as they are.
struct RawEmbedding {
  // Stores `embedding` scaled to unit length.
  RawEmbedding(platform::Uuid segmentId, std::span<const float> embedding, double timestamp);

  platform::Uuid segmentId;
  std::vector<float> embedding;
  double timestamp;

  // Throws platform::JsonCodingError (valueNotFinite) for a value that is not finite.
  nlohmann::ordered_json toJson() const;
  // Throws platform::JsonCodingError when a key is missing or a value has the wrong type.
  static RawEmbedding fromJson(const nlohmann::json& json);

  bool operator==(const RawEmbedding&) const = default;
};

// Appends `entry` to `history`, first dropping the entry with the oldest timestamp (the first of
// equal ones) when the history holds `capacity` or more: the window slides whatever order a merge
// left the history in. A capacity below 1 counts as 1.
void appendToHistory(std::vector<RawEmbedding>& history, RawEmbedding entry, std::size_t capacity);

}  // namespace tesselaudio
