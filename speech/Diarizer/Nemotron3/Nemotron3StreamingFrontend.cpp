#include "speech/Diarizer/Nemotron3/Nemotron3StreamingFrontend.h"

#include <algorithm>
#include <cassert>
#include <span>

#include "platform/dsp/VectorOps.h"

namespace tesselaudio {
namespace {

constexpr int kHop = 160;
constexpr int kFFT = 512;
constexpr int kHalf = kFFT / 2;
constexpr int kWin = 400;

}  // namespace

Nemotron3StreamingFrontend::Nemotron3StreamingFrontend(const Nemotron3Config& config)
    : config(config),
      mel(static_cast<int>(config.sampleRate), static_cast<int>(config.melFeatures), kFFT, kHop, kWin, 0.0f, 1,
          0x1p-24f, AudioMelSpectrogram::LogFloorMode::additive, false),
      geometry_(config) {}

void Nemotron3StreamingFrontend::reset() {
  audio.clear();
  melCache.clear();
  audioStart = 0;
  samplesReceived = 0;
  melCacheStart = 0;
  melFramesComputed = 0;
  nextCoreMel = 0;
}

std::optional<Nemotron3ChunkWindow> Nemotron3StreamingFrontend::nextChunk(bool final) {
  computeMel(final);
  if (final) {
    if (nextCoreMel >= melFramesComputed) return std::nullopt;
  } else if (melFramesComputed < nextCoreMel + geometry_.coreMel + geometry_.rcMel) {
    return std::nullopt;
  }
  std::int64_t coreEnd = 0;
  auto window = detail::cutNemotron3Window(geometry_, nextCoreMel, melFramesComputed, melCache, melCacheStart, coreEnd);
  nextCoreMel = coreEnd;
  trimCache(coreEnd - geometry_.lcMel);
  return window;
}

void Nemotron3StreamingFrontend::computeMel(bool final) {
  const std::int64_t n = samplesReceived;
  const std::int64_t f = melFramesComputed;
  std::int64_t e = 0;
  if (final) {
    e = n >= 1 ? (n + 2 * kHalf - kWin) / kHop + 1 : 0;
  } else {
    // Only frames whose whole transform span has been received.
    e = n >= kHalf ? (n - kHalf) / kHop + 1 : 0;
  }
  if (f >= e) return;

  const std::int64_t q = kHop * f - kHalf;
  const std::int64_t h = kHalf + kHop * (e - 1);
  scratch_.assign(static_cast<std::size_t>(h - q), 0.0f);
  const std::int64_t from = std::max<std::int64_t>(q, 0);
  const std::int64_t to = std::min(n, h);
  if (to > from) preEmphasise(from, to, scratch_, static_cast<std::size_t>(from - q));

  const auto frames = static_cast<int>(e - f);
  const auto result = mel.computeFlatTransposed(scratch_, 0.0f, AudioMelSpectrogram::PaddingMode::prePadded, frames);
  const auto values = static_cast<std::size_t>(frames) * static_cast<std::size_t>(config.melFeatures);
  melCache.insert(melCache.end(), result.mel.begin(), result.mel.begin() + static_cast<std::ptrdiff_t>(values));
  melFramesComputed = e;
  // One sample before the first the next frame needs stays, for its pre-emphasis.
  trimAudio(std::min(std::max<std::int64_t>(0, kHop * e - kHalf - 1), n));
}

void Nemotron3StreamingFrontend::preEmphasise(std::int64_t from, std::int64_t to, std::vector<float>& buffer,
                                              std::size_t offset) const {
  assert(from >= audioStart && to - audioStart <= static_cast<std::int64_t>(audio.size()));
  const float* x = audio.data() + (from - audioStart);
  float* y = buffer.data() + offset;
  const auto count = static_cast<std::size_t>(to - from);
  std::size_t k = 0;
  if (from == 0) {
    // The first sample of the stream has no predecessor.
    y[0] = x[0];
    k = 1;
  } else {
    assert(from - 1 >= audioStart);
  }
  if (k < count) {
    platform::dsp::scaleAdd(std::span<const float>(x + k - 1, count - k), -preemph,
                            std::span<const float>(x + k, count - k), std::span<float>(y + k, count - k));
  }
}

void Nemotron3StreamingFrontend::trimAudio(std::int64_t keepFrom) {
  if (keepFrom <= audioStart) return;
  const auto drop = std::min(static_cast<std::size_t>(keepFrom - audioStart), audio.size());
  audio.erase(audio.begin(), audio.begin() + static_cast<std::ptrdiff_t>(drop));
  audioStart = keepFrom;
}

void Nemotron3StreamingFrontend::trimCache(std::int64_t keepFrom) {
  if (keepFrom <= melCacheStart) return;
  const auto m = static_cast<std::size_t>(config.melFeatures);
  const auto drop = std::min(static_cast<std::size_t>(keepFrom - melCacheStart) * m, melCache.size());
  melCache.erase(melCache.begin(), melCache.begin() + static_cast<std::ptrdiff_t>(drop));
  melCacheStart = keepFrom;
}

}  // namespace tesselaudio
