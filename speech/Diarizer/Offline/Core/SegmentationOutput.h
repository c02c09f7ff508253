#pragma once

#include <cstdint>
#include <vector>

namespace tesselaudio {

// The windowed segmentation of a whole recording, handed from the segmentation to the clustering
// and reconstruction stages. A plain value.
struct SegmentationOutput {
  // Per window, frame and powerset class: the normalised log-probability (log-softmax of the
  // model's scores).
  std::vector<std::vector<std::vector<float>>> logProbs;
  // Per window, frame and local speaker: 1.0 for each speaker of the frame's winning class, else 0.0.
  std::vector<std::vector<std::vector<float>>> speakerWeights;
  std::int64_t numChunks = 0;
  std::int64_t numFrames = 0;
  // Local speakers per window (3).
  std::int64_t numSpeakers = 0;
  // Start of each window in seconds from the start of the recording.
  std::vector<double> chunkOffsets;
  // Seconds per frame: window length / frames per window.
  double frameDuration = 0;

  bool operator==(const SegmentationOutput&) const = default;
};

}  // namespace tesselaudio
