// The LS-EEND diarizer on 10 minutes of 16 kHz audio with the stand-in model (chunks of 10 frames
// of 20 ms, 16 mel bands, 4 speakers).
//
// BM_LSEENDProcessComplete: processComplete of the whole buffer: features, streaming chunks, one
//   prediction per chunk and the timeline.
// BM_LSEENDProcessComplete_Baseline: the prePadded log-mel of the same audio once, then as many
//   predictions as the diarizer makes, all on one prepared input with its backings: the floor of
//   what the diarizer must spend. Target: the diarizer within 1.5 × the baseline's CPU time.

#include <cmath>
#include <cstdint>
#include <memory>
#include <numbers>
#include <vector>

#include <benchmark/benchmark.h>

#include "speech/Diarizer/LS-EEND/LSEENDDiarizer.h"
#include "speech/Diarizer/LS-EEND/LSEENDInput.h"
#include "speech/Diarizer/LS-EEND/LSEENDModel.h"
#include "speech/Shared/AudioMelSpectrogram.h"
#include "tests/support/LSEENDModelBuilder.h"
#include "tests/support/TemporaryFolder.h"

namespace tesselaudio {
namespace {

constexpr std::size_t kSampleRate = 16000;

// Speakers' tones taking turns every 2 s over a little ripple, so that segments open and close.
std::vector<float> audio(std::size_t seconds) {
  std::vector<float> samples(seconds * kSampleRate);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const double t = static_cast<double>(i) / kSampleRate;
    const int speaker = static_cast<int>(t / 2) % 4;
    samples[i] = static_cast<float>(0.3 * std::sin(2 * std::numbers::pi * testsupport::lseendSpeakerFrequency(speaker) * t) +
                                    0.01 * std::sin(static_cast<double>(i * i % 7919)));
  }
  return samples;
}

std::shared_ptr<const LSEENDModel> standIn(const testsupport::TemporaryFolder& folder) {
  const auto bundle = testsupport::lseendToneModel({}, {2.0f, 6.0f}).writeBundle(folder.path());
  return std::make_shared<LSEENDModel>(bundle, platform::MLComputeUnits::cpuOnly);
}

void BM_LSEENDProcessComplete(benchmark::State& state) {
  const testsupport::TemporaryFolder folder;
  LSEENDDiarizer diarizer(standIn(folder));
  const auto samples = audio(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    auto timeline = diarizer.processComplete(samples, std::nullopt, false, false, {});
    benchmark::DoNotOptimize(timeline.get());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(samples.size()));
}
BENCHMARK(BM_LSEENDProcessComplete)->Arg(600)->Unit(benchmark::kMillisecond);

void BM_LSEENDProcessComplete_Baseline(benchmark::State& state) {
  const testsupport::TemporaryFolder folder;
  const auto model = standIn(folder);
  const auto samples = audio(static_cast<std::size_t>(state.range(0)));
  std::int64_t chunks = 0;
  LSEENDDiarizer(model).processComplete(samples, std::nullopt, false, false,
                                        [&](std::int64_t, std::int64_t, std::int64_t count) { chunks = count; });

  const LSEENDMetadata& metadata = model->metadata();
  LSEENDInput input(metadata);
  const std::vector<float> features(static_cast<std::size_t>(metadata.melFrames() * metadata.nMels), 0.1f);
  std::vector<float> mask(static_cast<std::size_t>(metadata.chunkSize), 1.0f);
  input.loadInputs(features, mask);
  AudioMelSpectrogram mel(16000, 16, 512, 160, 400, 0.0f, 1, 1e-10f, AudioMelSpectrogram::LogFloorMode::clamped, true);
  for (auto _ : state) {
    auto logMel = mel.computeFlatTransposed(samples, 0.0f, AudioMelSpectrogram::PaddingMode::prePadded);
    benchmark::DoNotOptimize(logMel.mel.data());
    for (std::int64_t i = 0; i < chunks; ++i) {
      auto probs = model->predict(input);
      benchmark::DoNotOptimize(probs.data());
    }
  }
  state.counters["chunks"] = static_cast<double>(chunks);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(samples.size()));
}
BENCHMARK(BM_LSEENDProcessComplete_Baseline)->Arg(600)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tesselaudio
