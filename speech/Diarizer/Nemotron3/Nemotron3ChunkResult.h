#pragma once

#include <cstdint>
#include <vector>

namespace tesselaudio {

// The 10 ms speaker probabilities of one chunk's new frames, frame-major
// (frame × numSpeakers + speaker). A plain value.
struct Nemotron3ChunkResult {
  std::vector<float> probabilities;
  // 10 ms frames in `probabilities`.
  std::int64_t frameCount = 0;
  std::int64_t numSpeakers = 0;

  bool operator==(const Nemotron3ChunkResult&) const = default;
};

}  // namespace tesselaudio
