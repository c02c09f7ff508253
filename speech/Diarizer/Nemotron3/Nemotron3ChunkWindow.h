#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace tesselaudio {

struct Nemotron3Config;

// One chunk window of log-mel features as the Nemotron 3 model takes it: up to lcMel frames of
// left context, the core, and up to rcMel frames of right context, frame-major with melFeatures
// values per frame, zero-padded to capacityMel frames. A plain value.
struct Nemotron3ChunkWindow {
  std::vector<float> features;
  // Valid frames counted from the window's first frame.
  std::int64_t length = 0;
  // Mel frames of left and right context present.
  std::int64_t leftOffset = 0;
  std::int64_t rightOffset = 0;

  bool operator==(const Nemotron3ChunkWindow&) const = default;
};

namespace detail {

// The mel geometry of config's chunk windows.
struct Nemotron3WindowGeometry {
  std::int64_t lcMel = 0;
  std::int64_t rcMel = 0;
  std::int64_t coreMel = 0;
  std::int64_t melFeatures = 0;
  std::int64_t capacityMel = 0;

  Nemotron3WindowGeometry() = default;
  explicit Nemotron3WindowGeometry(const Nemotron3Config& config);
};

// The window whose core starts at frame `p` when `available` frames exist. `frames` holds frame
// j at (j − firstFrame) × melFeatures; frames it lacks read as zeros. Sets `coreEnd` to the
// frame where the next core starts.
// REQUIRES: 0 <= p < available; firstFrame <= p − min(p, lcMel).
Nemotron3ChunkWindow cutNemotron3Window(const Nemotron3WindowGeometry& geometry, std::int64_t p,
                                        std::int64_t available, std::span<const float> frames,
                                        std::int64_t firstFrame, std::int64_t& coreEnd);

}  // namespace detail
}  // namespace tesselaudio
