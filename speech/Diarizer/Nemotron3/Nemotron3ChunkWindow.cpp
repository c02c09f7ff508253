#include "speech/Diarizer/Nemotron3/Nemotron3ChunkWindow.h"

#include <algorithm>
#include <cassert>

#include "speech/Diarizer/Nemotron3/Nemotron3Config.h"

namespace tesselaudio::detail {

Nemotron3WindowGeometry::Nemotron3WindowGeometry(const Nemotron3Config& config)
    : lcMel(config.subsamplingFactor * config.chunkLeftContext),
      rcMel(config.subsamplingFactor * config.chunkRightContext),
      coreMel(config.subsamplingFactor * config.chunkLen),
      melFeatures(config.melFeatures),
      capacityMel(config.chunkMelFrames()) {}

Nemotron3ChunkWindow cutNemotron3Window(const Nemotron3WindowGeometry& geometry, std::int64_t p,
                                        std::int64_t available, std::span<const float> frames,
                                        std::int64_t firstFrame, std::int64_t& coreEnd) {
  assert(p >= 0 && p < available);
  coreEnd = std::min(available, p + geometry.coreMel);
  Nemotron3ChunkWindow window;
  window.rightOffset = std::min(available - coreEnd, geometry.rcMel);
  window.leftOffset = std::min(p, geometry.lcMel);
  const std::int64_t windowStart = p - window.leftOffset;
  assert(windowStart >= firstFrame);
  window.length = coreEnd + window.rightOffset - windowStart;

  const auto m = static_cast<std::size_t>(geometry.melFeatures);
  window.features.assign(static_cast<std::size_t>(geometry.capacityMel) * m, 0.0f);
  // Only frames that exist are copied; a short source leaves zeros behind them.
  const auto storedFrames = static_cast<std::int64_t>(frames.size() / m);
  const std::int64_t copyEnd =
      std::min({windowStart + window.length, firstFrame + storedFrames, windowStart + geometry.capacityMel});
  if (copyEnd > windowStart) {
    const auto from = static_cast<std::size_t>(windowStart - firstFrame) * m;
    const auto count = static_cast<std::size_t>(copyEnd - windowStart) * m;
    std::copy_n(frames.begin() + static_cast<std::ptrdiff_t>(from), count, window.features.begin());
  }
  return window;
}

}  // namespace tesselaudio::detail
