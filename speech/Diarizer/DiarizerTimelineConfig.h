#pragma once

#include <cstdint>
#include <optional>

#include "speech/Diarizer/DiarizerActivityType.h"

namespace tesselaudio {

// How a diarizer timeline turns frame probabilities into speaker segments. A plain value; nothing
// is validated or clamped. The timeline needs `numSpeakers` ≥ 1, non-negative pad and minimum
// counts and a non-negative `maxStoredFrames`.
//
// The frame form is aggregate initialisation: fields left out keep the defaults below (one slot of
// 0.08 s, thresholds 0.5, no padding, no minimums, no storage cap, sigmoids, segments stored).
//
//   auto config = DiarizerTimelineConfig::sortformerDefault();
//   DiarizerTimelineConfig custom{.numSpeakers = 2, .minFramesOff = 3};
//   auto padded = DiarizerTimelineConfig::fromSeconds(4, 0.08f, 0.5f, 0.5f, 0.16f, 0.08f, 0.0f,
//                                                    0.0f, DiarizerActivityType::sigmoids,
//                                                    std::nullopt, true);
struct DiarizerTimelineConfig {
  // Speaker slots: the width of every probability row.
  std::int64_t numSpeakers = 1;
  float frameDurationSeconds = 0.08f;
  // A silent slot starts speaking in a frame whose value is strictly greater.
  float onsetThreshold = 0.5f;
  // A speaking slot keeps speaking while the value is greater than or equal.
  float offsetThreshold = 0.5f;
  // Frames added in front of and behind every speech run.
  std::int64_t onsetPadFrames = 0;
  std::int64_t offsetPadFrames = 0;
  // A run with fewer frames above threshold is dropped.
  std::int64_t minFramesOn = 0;
  // A gap of at most this many frames between two padded runs is bridged.
  std::int64_t minFramesOff = 0;
  // Finalized frames of probabilities kept for queries: none = all, 0 = none.
  std::optional<std::int64_t> maxStoredFrames = std::nullopt;
  DiarizerActivityType activityType = DiarizerActivityType::sigmoids;
  // false: segments are only reported in updates, never kept by the speakers.
  bool storeSegments = true;

  // The seconds form: each seconds value becomes frames as value ÷ frame duration (single
  // precision) rounded to the nearest integer, halves away from zero. Absent `numSpeakers` and
  // `frameDurationSeconds` become 1 and 0.08.
  static DiarizerTimelineConfig fromSeconds(std::optional<std::int64_t> numSpeakers,
                                            std::optional<float> frameDurationSeconds,
                                            float onsetThreshold, float offsetThreshold,
                                            float onsetPadSeconds, float offsetPadSeconds,
                                            float minDurationOn, float minDurationOff,
                                            DiarizerActivityType activityType,
                                            std::optional<std::int64_t> maxStoredFrames,
                                            bool storeSegments);

  // Thresholds 0.5 and 0.5, no padding, no minimums, no cap, sigmoids, segments stored.
  static DiarizerTimelineConfig default_(std::int64_t numSpeakers, float frameDurationSeconds);
  // Four slots of 0.08 s with the settings of default_().
  static DiarizerTimelineConfig sortformerDefault();

  // Seconds views of the frame counts: reading gives frame duration × frames; writing sets the
  // frames by the rounding rule of fromSeconds(). REQUIRES: value ÷ frame duration is finite and
  // within the 64-bit range.
  float onsetPadSeconds() const;
  void setOnsetPadSeconds(float seconds);
  float offsetPadSeconds() const;
  void setOffsetPadSeconds(float seconds);
  float minDurationOn() const;
  void setMinDurationOn(float seconds);
  float minDurationOff() const;
  void setMinDurationOff(float seconds);

  bool operator==(const DiarizerTimelineConfig&) const = default;
};

}  // namespace tesselaudio
