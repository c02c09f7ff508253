#pragma once

#include <cstdint>
#include <vector>

namespace tesselaudio {

// One window of a SegmentationOutput, delivered while later windows are still being segmented.
// A plain value; the fields mean what they mean there.
struct SegmentationChunk {
  // 0-based position of the window in the whole recording.
  std::int64_t chunkIndex = 0;
  double chunkOffsetSeconds = 0;
  double frameDuration = 0;
  // Frames × classes.
  std::vector<std::vector<float>> logProbs;
  // Frames × local speakers.
  std::vector<std::vector<float>> speakerWeights;

  bool operator==(const SegmentationChunk&) const = default;
};

}  // namespace tesselaudio
