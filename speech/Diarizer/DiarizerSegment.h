#pragma once

#include <compare>
#include <cstdint>
#include <string>

#include "platform/sys/Uuid.h"

namespace tesselaudio {

// One speech segment of one speaker slot, in model frames: it covers `startFrame` up to but not
// including `endFrame`. A value; equal and ordered by frames and slot only.
class DiarizerSegment {
 public:
  // A segment with a fresh random id.
  DiarizerSegment(std::int64_t speakerIndex, std::int64_t startFrame, std::int64_t endFrame,
                  bool finalized, float frameDurationSeconds, float activity = 0.0f);

  // Times in seconds become frames as time ÷ frame duration (single precision) rounded to the
  // nearest integer, halves away from zero. REQUIRES: the quotients are finite and in range.
  static DiarizerSegment fromTimes(std::int64_t speakerIndex, float startTime, float endTime,
                                   bool finalized, float frameDurationSeconds,
                                   float activity = 0.0f);

  const platform::Uuid& id() const { return id_; }
  float frameDurationSeconds() const { return frameDurationSeconds_; }

  std::int64_t length() const { return endFrame - startFrame; }
  float duration() const { return static_cast<float>(length()) * frameDurationSeconds_; }
  float startTime() const { return frameDurationSeconds_ * static_cast<float>(startFrame); }
  float endTime() const { return frameDurationSeconds_ * static_cast<float>(endFrame); }
  // "Speaker " and the slot in decimal.
  std::string speakerLabel() const;

  // True when the two share a frame or only touch (one ends where the other starts).
  bool overlaps(const DiarizerSegment& with) const;
  // Merges `other` in: activity becomes the length-weighted mean (0 when both are empty), the
  // frames span both. Slot, finality and id stay.
  void absorb(const DiarizerSegment& other);
  void extendEnd(std::int64_t toFrame);
  void extendStart(std::int64_t toFrame);

  // Same frames and slot; id, activity, finality and frame duration are not compared.
  bool operator==(const DiarizerSegment& other) const;
  // By startFrame, then endFrame, then speakerIndex.
  std::weak_ordering operator<=>(const DiarizerSegment& other) const;

  // The speaker slot that produced it.
  std::int64_t speakerIndex;
  // Can be negative when onset padding reaches before frame 0.
  std::int64_t startFrame;
  std::int64_t endFrame;
  // Produced from finalized probabilities.
  bool isFinalized;
  // Mean score of the segment's active frames in the timeline's activity unit.
  float activity;

 private:
  platform::Uuid id_;
  float frameDurationSeconds_;
};

}  // namespace tesselaudio
