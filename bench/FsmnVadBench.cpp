// The FSMN detector's voting over one hour of frame probabilities (360,000 frames of 10 ms).
//
// BM_FsmnDecide: decide() over an hour of conversation: turns of 1 to 8 s and pauses of 0.2 to 2 s,
//   with the first and last 8 frames of each run undecided and one frame in 500 astray.
// BM_FsmnDecideNoisy: the same rules over frames of which one in 23 is flipped throughout, so that
//   no stretch of frames is ever uniform (the voting's worst case).
// BM_FsmnDecide_Baseline: one pass counting the frames at or below 0.2, the least any per-frame
//   decision costs.
// Items are samples (160 per frame), so items per second ÷ 16,000 is the real-time factor. The host
// is noted by the detector benchmark in the same binary.

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "speech/VAD/Fsmn/FsmnVadManager.h"

namespace tesselaudio {
namespace {

constexpr std::size_t kHourFrames = 360'000;
constexpr std::int64_t kHourSamples = static_cast<std::int64_t>(kHourFrames * FsmnVadManager::kFrameSamples);

float probability(bool speech, std::mt19937& random) {
  return speech ? 0.02f * static_cast<float>(random() % 10) : 0.25f + 0.07f * static_cast<float>(random() % 10);
}

std::vector<float> hourOfConversation() {
  std::mt19937 random(119);
  std::vector<float> silence;
  silence.reserve(kHourFrames);
  for (bool talking = true; silence.size() < kHourFrames; talking = !talking) {
    const std::size_t run = talking ? 100 + random() % 700 : 20 + random() % 180;
    for (std::size_t k = 0; k < run && silence.size() < kHourFrames; ++k) {
      const bool edge = k < 8 || k + 8 >= run;
      const bool speech = edge ? random() % 2 == 0 : talking != (random() % 500 == 0);
      silence.push_back(probability(speech, random));
    }
  }
  return silence;
}

std::vector<float> noisyHour() {
  std::vector<float> silence(kHourFrames);
  for (std::size_t j = 0; j < kHourFrames; ++j) {
    const bool talking = j % 1000 < 800;
    const bool flipped = (j * 2654435761u) % 23 == 0;
    silence[j] = talking != flipped ? 0.1f : 0.9f;
  }
  return silence;
}

void decideOver(benchmark::State& state, const std::vector<float>& silence) {
  for (auto _ : state) {
    auto segments = FsmnVadManager::decide(silence);
    benchmark::DoNotOptimize(segments.data());
  }
  state.SetItemsProcessed(state.iterations() * kHourSamples);
}

void BM_FsmnDecide(benchmark::State& state) { decideOver(state, hourOfConversation()); }
BENCHMARK(BM_FsmnDecide)->Unit(benchmark::kMicrosecond);

void BM_FsmnDecideNoisy(benchmark::State& state) { decideOver(state, noisyHour()); }
BENCHMARK(BM_FsmnDecideNoisy)->Unit(benchmark::kMicrosecond);

void BM_FsmnDecide_Baseline(benchmark::State& state) {
  const auto silence = hourOfConversation();
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
