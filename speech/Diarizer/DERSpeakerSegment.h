#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace tesselaudio {

// One speaker turn of a reference or hypothesis diarization, for scoring. A plain value, equal and
// hashed field by field.
struct DERSpeakerSegment {
  // Compared exactly.
  std::string speaker;
  // Seconds.
  double start = 0;
  double end = 0;

  bool operator==(const DERSpeakerSegment&) const = default;
};

}  // namespace tesselaudio

template <>
struct std::hash<tesselaudio::DERSpeakerSegment> {
  std::size_t operator()(const tesselaudio::DERSpeakerSegment& segment) const noexcept {
    std::size_t seed = std::hash<std::string>()(segment.speaker);
    for (double value : {segment.start, segment.end}) {
      seed ^= std::hash<double>()(value) + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
    }
    return seed;
  }
};
