// Diarizer timeline intake at the streaming diarizer's shape: chunks of 6 finalized and 7
// tentative frames of 4 slots, one chunk standing for 0.48 s of audio.
//
// BM_TimelineAddChunk/<chunks>: one session of that many chunks on a fresh timeline, speech moving
// between two slots every three chunks so that segments are emitted and tentative lists rebuilt.
// RTF = processing time ÷ audio time; it should stay the same for every session length.

#include <cstdint>
#include <memory>
#include <vector>

#include <benchmark/benchmark.h>

#include "speech/Diarizer/DiarizerTimeline.h"

namespace tesselaudio {
namespace {

constexpr int kSlots = 4;
constexpr int kFinalizedFrames = 6;
constexpr int kTentativeFrames = 7;
constexpr double kChunkSeconds = 0.48;
constexpr int kChunksPerTurn = 3;

struct Chunk {
  std::vector<float> finalized;
  std::vector<float> tentative;
};

// The chunks of one turn of each of two speakers; a turn begins after one silent frame.
std::vector<Chunk> speechPattern() {
  std::vector<Chunk> pattern;
  for (int turn = 0; turn < 2; ++turn) {
    for (int i = 0; i < kChunksPerTurn; ++i) {
      Chunk chunk{std::vector<float>(kFinalizedFrames * kSlots, 0.05f),
                  std::vector<float>(kTentativeFrames * kSlots, 0.05f)};
      for (int f = 0; f < kFinalizedFrames; ++f) {
        const bool pause = i == 0 && f == 0;
        chunk.finalized[f * kSlots + turn] = pause ? 0.2f : 0.9f - 0.01f * f;
      }
      for (int f = 0; f < kTentativeFrames; ++f) {
        // The look-ahead guesses that the last chunk of a turn fades out.
        const bool fading = i == kChunksPerTurn - 1 && f >= 3;
        chunk.tentative[f * kSlots + turn] = fading ? 0.3f : 0.8f;
      }
      pattern.push_back(std::move(chunk));
    }
  }
  return pattern;
}

void BM_TimelineAddChunk(benchmark::State& state) {
  const std::int64_t chunks = state.range(0);
  const std::vector<Chunk> pattern = speechPattern();
  for (auto _ : state) {
    state.PauseTiming();
    auto timeline = std::make_unique<DiarizerTimeline>(DiarizerTimelineConfig::sortformerDefault());
    state.ResumeTiming();
    for (std::int64_t c = 0; c < chunks; ++c) {
      const Chunk& chunk = pattern[static_cast<std::size_t>(c) % pattern.size()];
      auto update = timeline->addPredictions(chunk.finalized, chunk.tentative);
      benchmark::DoNotOptimize(update);
    }
    state.PauseTiming();
    benchmark::DoNotOptimize(timeline->numFrames());
    // Tearing down a long session's speakers and arrays is not part of the intake.
    timeline.reset();
    state.ResumeTiming();
  }
  const double audioSeconds = static_cast<double>(chunks) * kChunkSeconds;
  state.SetItemsProcessed(state.iterations() * chunks);
  state.counters["RTF"] = benchmark::Counter(audioSeconds * static_cast<double>(state.iterations()),
                                             benchmark::Counter::kIsRate |
                                                 benchmark::Counter::kInvert);
}
BENCHMARK(BM_TimelineAddChunk)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tesselaudio
