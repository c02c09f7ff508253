#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "platform/sys/Uuid.h"
#include "speech/Speaker/RawEmbedding.h"

namespace tesselaudio {

struct SendableSpeaker;

// One known voice of a speaker database: its main embedding, the speech time attributed to it and
// a bounded history of per-segment embeddings. Every change of the history recomputes the main
// embedding as the normalised mean of the history. A plain value; equal (and hashed) by id alone.
// Dates are seconds since 2001-01-01 UTC.
//
// JSON, keys in this order, all required: "id", "name", "currentEmbedding", "duration",
// "createdAt", "updatedAt", "updateCount", "rawEmbeddings" (array of RawEmbedding),
// "isPermanent". Decoding stores values as they are: no normalisation, no trimming of the history.
struct Speaker {
  static constexpr std::size_t kHistoryCapacity = 50;

  // Reads the clock once: `id` defaults to a new UUID's text, `name` to the id, both dates to now.
  // Stores the embedding normalised, updateCount 1 and an empty history.
  Speaker(std::optional<std::string> id, std::optional<std::string> name,
          std::span<const float> currentEmbedding, float duration = 0,
          std::optional<double> createdAt = std::nullopt,
          std::optional<double> updatedAt = std::nullopt, bool isPermanent = false);

  std::string id;
  std::string name;
  // Unit length wherever this code sets it.
  std::vector<float> currentEmbedding;
  // Seconds of speech.
  float duration = 0;
  double createdAt = 0;
  // The last change to the embedding, the duration or the history.
  double updatedAt = 0;
  std::int64_t updateCount = 1;
  // Oldest first as long as entries are only appended; at most kHistoryCapacity entries.
  std::vector<RawEmbedding> rawEmbeddings;
  // Protects the speaker against removal, reset, overwriting and being merged away.
  bool isPermanent = false;

  // Folds a segment's embedding in: appends it to the history (which recomputes the main
  // embedding), blends alpha × main + (1 − alpha) × normalised embedding when the lengths agree,
  // adds the duration and counts one update. An embedding whose sum of squares is 0.01 or less
  // changes nothing at all.
  void updateMainEmbedding(float duration, std::span<const float> embedding,
                           platform::Uuid segmentId, float alpha);

  // Appends an entry to the history and recomputes the main embedding. A full history first drops
  // its oldest entry by timestamp (the first of equal ones). An entry whose sum of squares is 0.01
  // or less is ignored.
  void addRawEmbedding(RawEmbedding entry);

  // The main embedding as the normalised mean of the history entries that have the length of the
  // first one; nothing changes when the history is empty or its first embedding is.
  void recalculateMainEmbedding();

  // Removes the first entry of that segment and recomputes; none (and no change) when there is
  // no such entry. Removing the last entry leaves the main embedding as it was.
  std::optional<RawEmbedding> removeRawEmbedding(platform::Uuid segmentId);

  // Folds `other` in: the histories joined (the 50 newest, newest first, when they exceed 50),
  // durations and update counts added, the name replaced by `keepName` when given. Id, creation
  // time and permanence stay.
  void mergeWith(const Speaker& other, const std::optional<std::string>& keepName = std::nullopt);

  SendableSpeaker toSendable() const;

  // Throws platform::JsonCodingError (valueNotFinite) for a value that is not finite.
  nlohmann::ordered_json toJson() const;
  // Throws platform::JsonCodingError when a key is missing or a value has the wrong type.
  static Speaker fromJson(const nlohmann::json& json);

  bool operator==(const Speaker& other) const { return id == other.id; }
};

}  // namespace tesselaudio

template <>
struct std::hash<tesselaudio::Speaker> {
  std::size_t operator()(const tesselaudio::Speaker& speaker) const noexcept {
    return std::hash<std::string>()(speaker.id);
  }
};
