#include "speech/Diarizer/Offline/Extraction/SilenceAwareFbank.h"

#include <algorithm>

namespace tesselaudio::SilenceAwareFbank {
namespace {

constexpr std::int64_t kFrameSamples = 400;
constexpr std::int64_t kHopSamples = 160;

}  // namespace

std::vector<bool> silentFrames(std::span<const float> audio, std::int64_t frameCount) {
  if (frameCount <= 0) return {};
  const auto n = static_cast<std::int64_t>(audio.size());
  // Running counts of non-zero samples, so each frame is answered in constant time.
  std::vector<std::int64_t> nonZero(audio.size() + 1, 0);
  for (std::size_t i = 0; i < audio.size(); ++i) nonZero[i + 1] = nonZero[i] + (audio[i] != 0.0f ? 1 : 0);
  std::vector<bool> silent(static_cast<std::size_t>(frameCount));
  for (std::int64_t f = 0; f < frameCount; ++f) {
    // Frames far past the end would overflow 160 × f; they start past the end anyway.
    const std::int64_t start = f > n / kHopSamples ? n : std::min(n, kHopSamples * f);
    const std::int64_t end = std::min(n, start + kFrameSamples);
    silent[static_cast<std::size_t>(f)] = nonZero[static_cast<std::size_t>(end)] == nonZero[static_cast<std::size_t>(start)];
  }
  return silent;
}

}  // namespace tesselaudio::SilenceAwareFbank
