// The LS-EEND feature provider on 60 s of 16 kHz audio, at the stand-in model's geometry (hop 160,
// window 400, nFFT 512, 16 mel bands, chunks of 20 feature frames with 3 frames of context).
//
// BM_LSEENDFeatures: the audio arrives in 10 ms pieces through enqueueAudio with eager
//   preprocessing, and every ready chunk is emitted into the model input: queueing, log-mel,
//   log10 scaling, running-mean normalisation and the chunk copies.
// BM_LSEENDFeatures_Baseline: the prePadded log-mel of the same 60 s in one call, the floor of
//   what the provider must spend. Target: the provider within 1.5 × the baseline's CPU time.

#include <cmath>
#include <cstdint>
#include <numbers>
#include <span>
#include <vector>

#include <benchmark/benchmark.h>

#include "speech/Diarizer/LS-EEND/LSEENDFeatureProvider.h"
#include "speech/Diarizer/LS-EEND/LSEENDInput.h"
#include "speech/Diarizer/LS-EEND/LSEENDMetadata.h"
#include "speech/Shared/AudioMelSpectrogram.h"
#include "tests/support/LSEENDModelBuilder.h"

namespace tesselaudio {
namespace {

constexpr std::size_t kSampleRate = 16000;
constexpr std::size_t kPiece = 160;  // 10 ms

// Two tones over a little noise-like ripple, so that no band sits at the log floor.
std::vector<float> audio(std::size_t seconds) {
  std::vector<float> samples(seconds * kSampleRate);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const double t = static_cast<double>(i) / kSampleRate;
    samples[i] = static_cast<float>(0.3 * std::sin(2 * std::numbers::pi * 440 * t) +
                                    0.1 * std::sin(2 * std::numbers::pi * 2300 * t) +
                                    0.01 * std::sin(static_cast<double>(i * i % 7919)));
  }
  return samples;
}

void BM_LSEENDFeatures(benchmark::State& state) {
  const auto metadata = LSEENDMetadata::fromJSON(testsupport::LSEENDModelSizes{}.configJSON());
  const auto samples = audio(static_cast<std::size_t>(state.range(0)));
  const std::span<const float> all(samples);
  for (auto _ : state) {
    state.PauseTiming();
    LSEENDFeatureProvider provider(metadata);
    state.ResumeTiming();
    std::int64_t chunks = 0;
    for (std::size_t offset = 0; offset < all.size(); offset += kPiece) {
      provider.enqueueAudio(all.subspan(offset, std::min(kPiece, all.size() - offset)), std::nullopt, true);
      while (LSEENDInput* input = provider.emitNextChunk()) {
        benchmark::DoNotOptimize(input->melFeatures()->dataPointer());
        ++chunks;
      }
    }
    benchmark::DoNotOptimize(chunks);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(samples.size()));
}
BENCHMARK(BM_LSEENDFeatures)->Arg(60)->Unit(benchmark::kMillisecond);

void BM_LSEENDFeatures_Baseline(benchmark::State& state) {
  const auto samples = audio(static_cast<std::size_t>(state.range(0)));
  AudioMelSpectrogram mel(16000, 16, 512, 160, 400, 0.0f, 1, 1e-10f, AudioMelSpectrogram::LogFloorMode::clamped, true);
  for (auto _ : state) {
    auto features = mel.computeFlatTransposed(samples, 0.0f, AudioMelSpectrogram::PaddingMode::prePadded);
    benchmark::DoNotOptimize(features.mel.data());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(samples.size()));
}
BENCHMARK(BM_LSEENDFeatures_Baseline)->Arg(60)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tesselaudio
