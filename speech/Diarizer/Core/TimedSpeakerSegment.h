#pragma once

#include <string>
#include <vector>

#include "platform/sys/Uuid.h"

namespace tesselaudio {

// One stretch of speech given to one speaker. A plain value; every segment made draws a fresh id,
// so two segments built from the same arguments differ.
struct TimedSpeakerSegment {
  TimedSpeakerSegment(std::string speakerId, std::vector<float> embedding, float startTimeSeconds,
                      float endTimeSeconds, float qualityScore);

  platform::Uuid id;
  // The speaker database's id ("1", "2", ...) or the offline pipeline's cluster label.
  std::string speakerId;
  // What stands for the speaker here: the chunk's embedding or the cluster centroid.
  std::vector<float> embedding;
  // Seconds from the start of the input, plus the caller's time offset.
  float startTimeSeconds;
  float endTimeSeconds;
  // Confidence, on the producer's scale.
  float qualityScore;

  float durationSeconds() const { return endTimeSeconds - startTimeSeconds; }

  bool operator==(const TimedSpeakerSegment&) const = default;
};

}  // namespace tesselaudio
