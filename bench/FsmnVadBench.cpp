// The FSMN detector's voting over one hour of frame probabilities (360,000 frames of 10 ms).
//
// BM_FsmnDecide: decide() over the hour: the 20-frame window, the vote and the segment rules.
// BM_FsmnDecide_Baseline: one pass counting the frames at or below 0.2 over the same probabilities,
//   the least any per-frame decision costs.
// Items are samples (160 per frame), so items per second ÷ 16,000 is the real-time factor. The host
// is noted by the detector benchmark in the same binary.

#include <cstddef>
#include <cstdint>
#include <vector>

#include <benchmark/benchmark.h>

#include "speech/VAD/Fsmn/FsmnVadManager.h"

namespace tesselaudio {
namespace {

constexpr std::size_t kHourFrames = 360'000;
constexpr std::int64_t kHourSamples = static_cast<std::int64_t>(kHourFrames * FsmnVadManager::kFrameSamples);

// Talk and pauses in turn (about 8 s of talk, then 2 s), with one frame in 23 flipped so that the
// vote sees noisy edges.
std::vector<float> hourOfSilence() {
  std::vector<float> silence(kHourFrames);
  for (std::size_t j = 0; j < kHourFrames; ++j) {
    const bool talk = j % 1000 < 800;
    const bool flipped = (j * 2654435761u) % 23 == 0;
    silence[j] = (talk != flipped) ? 0.1f : 0.9f;
  }
  return silence;
}

void BM_FsmnDecide(benchmark::State& state) {
  const auto silence = hourOfSilence();
  for (auto _ : state) {
    auto segments = FsmnVadManager::decide(silence);
    benchmark::DoNotOptimize(segments.data());
  }
  state.SetItemsProcessed(state.iterations() * kHourSamples);
}
BENCHMARK(BM_FsmnDecide)->Unit(benchmark::kMicrosecond);

void BM_FsmnDecide_Baseline(benchmark::State& state) {
  const auto silence = hourOfSilence();
  for (auto _ : state) {
    std::size_t speech = 0;
    for (float p : silence) speech += p <= 0.2f;
    benchmark::DoNotOptimize(speech);
  }
  state.SetItemsProcessed(state.iterations() * kHourSamples);
}
BENCHMARK(BM_FsmnDecide_Baseline)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tesselaudio
