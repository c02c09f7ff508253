#pragma once

#include <string>

namespace tesselaudio {

// One word or piece of a timestamped Paraformer transcript, in seconds from the start of the audio.
struct TimestampedSegment {
  double startTime = 0;
  double endTime = 0;
  std::string text;

  bool operator==(const TimestampedSegment&) const = default;
};

}  // namespace tesselaudio
