// The diarization error rate.
//
// BM_DER: one hour scored at a 10 ms step (360,001 frames): four reference speakers of 200 turns
//   each, and a hypothesis of four speakers whose turns start 0.3 s late under other labels; the
//   grids, the overlap counts, the assignment, a 0.25 s collar and the counting.
// BM_DER_Baseline: one pass over two boolean grids of the same size (360,001 frames × 4 speakers
//   each, one byte per flag as the scorer's, built before timing) counting the active flags.

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "speech/Diarizer/DiarizationDER.h"

namespace tesselaudio {
namespace {

constexpr double kHour = 3600;
constexpr double kStep = 0.01;
constexpr int kSpeakers = 4;
constexpr int kTurns = 200;

// Each speaker talks a quarter of every 18 s, in turn.
std::vector<DERSpeakerSegment> turns(const std::string& prefix, double delay) {
  std::vector<DERSpeakerSegment> segments;
  const double period = kHour / kTurns;
  const double turn = period / kSpeakers;
  for (int k = 0; k < kTurns; ++k) {
    for (int s = 0; s < kSpeakers; ++s) {
      const double start = k * period + s * turn + delay;
      segments.push_back({prefix + std::to_string(s), start, std::min(start + turn, kHour)});
    }
  }
  return segments;
}

void BM_DER(benchmark::State& state) {
  const auto reference = turns("S", 0.0);
  const auto hypothesis = turns("spk", 0.3);
  for (auto _ : state) benchmark::DoNotOptimize(DiarizationDER::compute(reference, hypothesis, kStep, 0.25));
  state.counters["frames"] = 360001;
}
BENCHMARK(BM_DER)->Unit(benchmark::kMillisecond);

void BM_DER_Baseline(benchmark::State& state) {
  const std::size_t frames = 360001;
  // One byte per flag, as the scorer's own grids.
  std::vector<std::uint8_t> reference(frames * kSpeakers), hypothesis(frames * kSpeakers);
  for (std::size_t i = 0; i < reference.size(); i += 3) reference[i] = 1;
  for (std::size_t i = 0; i < hypothesis.size(); i += 5) hypothesis[i] = 1;
  for (auto _ : state) {
    std::int64_t active = 0;
    for (std::size_t i = 0; i < reference.size(); ++i) active += reference[i] + hypothesis[i];
    benchmark::DoNotOptimize(active);
  }
  state.counters["frames"] = 360001;
}
BENCHMARK(BM_DER_Baseline)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tesselaudio
