#pragma once

#include <cstdint>
#include <vector>

namespace tesselaudio {

// The embedding of one local speaker of one segmentation window, with its PLDA features. A plain
// value.
struct TimedEmbedding {
  // The window's position in the run.
  std::int64_t chunkIndex = 0;
  // The local speaker slot within the window, from 0.
  std::int64_t speakerIndex = 0;
  // First frame whose weight exceeds 0.001 (0 when none does).
  std::int64_t startFrame = 0;
  // Last such frame, inclusive (startFrame when none does).
  std::int64_t endFrame = 0;
  // The speaker's weight per segmentation frame, as used for the embedding (before resampling).
  std::vector<float> frameWeights;
  // Window offset + frame duration × startFrame, in seconds.
  double startTime = 0;
  // Window offset + frame duration × (endFrame + 1), in seconds.
  double endTime = 0;
  // The embedding model's output (256 values).
  std::vector<float> embedding256;
  // The PLDA features of embedding256 (128 values).
  std::vector<double> rho128;

  bool operator==(const TimedEmbedding&) const = default;
};

}  // namespace tesselaudio
