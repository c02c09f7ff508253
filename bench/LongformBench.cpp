// Long-form recognition costs:
//   BM_PlanSilenceAligned/<seconds>           the whole window plan of a v3-family model without mel
//                                             context and with late pauses: layout, pause-aligned
//                                             starts, speech end and window list, over in-memory talk
//                                             with pauses ...
//   BM_PlanSilenceAligned_Baseline/<seconds>  ... beside one pass over the same source in pieces of
//                                             327,680 samples, summing squares.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

#include <benchmark/benchmark.h>

#include "speech/ASR/Parakeet/SlidingWindow/TDT/ChunkProcessor.h"
#include "speech/Shared/ArrayAudioSampleSource.h"

namespace {

using tesselaudio::ArrayAudioSampleSource;
using tesselaudio::AsrModelVersion;
using tesselaudio::ChunkProcessor;

constexpr std::int64_t kSampleRate = 16000;
constexpr std::int64_t kPieceSamples = 327680;

// Talk: 400 Hz bursts of 1 to 9 s at varying levels with pauses of 0.1 to 1.2 s, from a fixed pattern.
std::vector<float> talk(std::int64_t totalSamples) {
  std::array<float, 40> period{};
  for (std::size_t i = 0; i < period.size(); ++i) {
    period[i] = static_cast<float>(std::sin(2 * std::numbers::pi * static_cast<double>(i) / 40.0));
  }
  std::vector<float> samples(static_cast<std::size_t>(totalSamples));
  std::int64_t position = 0;
  for (int i = 0; position < totalSamples; ++i) {
    const std::int64_t speech = kSampleRate + (i * 37 % 9) * kSampleRate;
    const std::int64_t pause = 1600 + (i * 53 % 12) * 1600;
    const float level = 0.1F + 0.05F * static_cast<float>(i % 5);
    for (std::int64_t s = position; s < std::min(position + speech, totalSamples); ++s) {
      samples[static_cast<std::size_t>(s)] = level * period[static_cast<std::size_t>(s % 40)];
    }
    position += speech + pause;
  }
  return samples;
}

const ArrayAudioSampleSource& hourOfTalk() {
  static const ArrayAudioSampleSource source(talk(3600 * kSampleRate));
  return source;
}

void BM_PlanSilenceAligned(benchmark::State& state) {
  const ArrayAudioSampleSource& source = hourOfTalk();
  ChunkProcessor processor(source);
  processor.totalSamples = state.range(0) * kSampleRate;
  std::size_t windows = 0;
  for (auto _ : state) {
    const auto layout = processor.chunkLayout(false, AsrModelVersion::v3);
    const auto decisions =
        processor.silenceAlignedChunkStarts(layout.chunkSamples, layout.strideSamples, false, true);
    const auto plan = processor.planWindows(decisions, layout, processor.speechEndSamples(), true);
    windows = plan.windows.size();
    benchmark::DoNotOptimize(plan);
  }
  state.counters["windows"] = static_cast<double>(windows);
  state.SetItemsProcessed(state.iterations() * processor.totalSamples);
}
BENCHMARK(BM_PlanSilenceAligned)->Arg(3600)->Unit(benchmark::kMillisecond);

void BM_PlanSilenceAligned_Baseline(benchmark::State& state) {
  const ArrayAudioSampleSource& source = hourOfTalk();
  const std::int64_t total = state.range(0) * kSampleRate;
  std::vector<float> piece(kPieceSamples);
  for (auto _ : state) {
    float sum = 0;
    for (std::int64_t start = 0; start < total; start += kPieceSamples) {
      const std::int64_t count = std::min(kPieceSamples, total - start);
      source.copySamples(piece.data(), start, count);
      for (std::int64_t i = 0; i < count; ++i) sum += piece[static_cast<std::size_t>(i)] * piece[static_cast<std::size_t>(i)];
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * total);
}
BENCHMARK(BM_PlanSilenceAligned_Baseline)->Arg(3600)->Unit(benchmark::kMillisecond);

}  // namespace
