#pragma once

#include <cstdint>
#include <vector>

namespace tesselaudio {

// The speaker probabilities one streaming update hands back: the chunk's core frames, final, and
// its right-context frames, provisional (the next chunk predicts them again). Both frame-major
// with numSpeakers values per frame. A plain value.
struct StreamingUpdateResult {
  std::vector<float> confirmed;
  std::vector<float> tentative;
  std::int64_t numSpeakers = 0;

  // Whole frames in each array. REQUIRES: numSpeakers > 0.
  std::int64_t confirmedFrameCount() const;
  std::int64_t tentativeFrameCount() const;

  bool operator==(const StreamingUpdateResult&) const = default;
};

}  // namespace tesselaudio
