// The streaming Sortformer diarizer end to end, on one thread.
//
// BM_SortformerStreaming: 60 s of 48 kHz audio (four speakers taking turns) fed in 0.5 s pieces
//   through process(samples, 48000) with the band-oracle stand-in model, then finalizeSession():
//   resampling, incremental mel, 126 model steps, the speaker-cache updates and the timeline.
//   RTF = processing time ÷ 60 s of audio.
// BM_IncrementalMel: the same audio at 16 kHz fed in 0.5 s pieces through addAudio(), which only
//   computes mel frames.
// BM_IncrementalMel_Baseline: one mel computation over the whole 60 s, the work the incremental
//   path splits up.

#include <cstdint>
#include <span>
#include <vector>

#include <benchmark/benchmark.h>

#include "platform/ml/MLModel.h"
#include "platform/sys/HostInfo.h"
#include "speech/Diarizer/Sortformer/SortformerDiarizer.h"
#include "speech/Diarizer/Sortformer/SortformerModels.h"
#include "speech/Shared/AudioConverter.h"
#include "speech/Shared/AudioMelSpectrogram.h"
#include "tests/support/SortformerModelBuilder.h"
#include "tests/support/TemporaryFolder.h"

namespace tesselaudio {
namespace {

constexpr double kSeconds = 60;

// Each slot talks for 2 s in turn.
std::vector<float> speech16k() {
  std::vector<float> audio;
  for (int turn = 0; turn < static_cast<int>(kSeconds / 2); ++turn) {
    const auto part = testsupport::sortformerBandAudio(turn % 4, 32'000, static_cast<unsigned>(turn + 1));
    audio.insert(audio.end(), part.begin(), part.end());
  }
  return audio;
}

void setRealTimeFactor(benchmark::State& state, std::size_t samples) {
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(samples));
  state.counters["RTF"] = benchmark::Counter(
      kSeconds, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_SortformerStreaming(benchmark::State& state) {
  const auto& config = SortformerConfig::balancedV2_1();
  testsupport::TemporaryFolder folder;
  testsupport::SortformerModelSizes sizes;
  const auto bundle = testsupport::sortformerBandOracleModel(sizes).writeBundle(folder.path());
  SortformerModels models(config, std::make_shared<const platform::MLModel>(bundle), 0);
  SortformerDiarizer diarizer(config);
  diarizer.initialize(models);
  const auto audio = AudioConverter(48000.0, false).resample(speech16k(), 16000.0);
  const std::size_t piece = 24'000;

  for (auto _ : state) {
    diarizer.reset();
    for (std::size_t at = 0; at < audio.size(); at += piece) {
      const auto n = std::min(piece, audio.size() - at);
      benchmark::DoNotOptimize(diarizer.process(std::span(audio).subspan(at, n), 48000.0));
    }
    benchmark::DoNotOptimize(diarizer.finalizeSession());
  }
  setRealTimeFactor(state, audio.size());
}
BENCHMARK(BM_SortformerStreaming)->Unit(benchmark::kMillisecond);

void BM_IncrementalMel(benchmark::State& state) {
  const auto audio = speech16k();
  const std::size_t piece = 8'000;
  SortformerDiarizer diarizer(SortformerConfig::balancedV2_1());
  for (auto _ : state) {
    diarizer.reset();
    for (std::size_t at = 0; at < audio.size(); at += piece) {
      diarizer.addAudio(std::span(audio).subspan(at, std::min(piece, audio.size() - at)));
    }
  }
  setRealTimeFactor(state, audio.size());
}
BENCHMARK(BM_IncrementalMel)->Unit(benchmark::kMillisecond);

void BM_IncrementalMel_Baseline(benchmark::State& state) {
  std::vector<float> audio(256, 0.0f);
  const auto speech = speech16k();
  audio.insert(audio.end(), speech.begin(), speech.end());
  AudioMelSpectrogram mel(16000, 128, 512, 160, 400, 0.97f, 1, 0x1p-24f,
                          AudioMelSpectrogram::LogFloorMode::additive, false);
  const int frames = static_cast<int>((speech.size() - 200) / 160 + 1);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        mel.computeFlatTransposed(audio, 0.0f, AudioMelSpectrogram::PaddingMode::prePadded, frames));
  }
  setRealTimeFactor(state, speech.size());
}
BENCHMARK(BM_IncrementalMel_Baseline)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tesselaudio
