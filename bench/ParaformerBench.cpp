// The timing of Paraformer pieces over 30 s of 16 kHz audio (the host is noted by VadBench.cpp).
//
// BM_ParaformerTimestamps: decodeWithTimestamps for 128 pieces: argmax of 128 logits rows over a
//   140-piece vocabulary, upsampled and rescaled fire times from 512 frame weights, the energy
//   envelope with its smoothing and threshold, the speech-run search per piece and the word joining.
// BM_ParaformerTimestamps_Baseline: the energy envelope and its smoothing alone, the part every
//   call must pay for the audio's length.
// Items are samples, so items per second ÷ 16,000 is the real-time factor.

#include <cmath>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "platform/ml/MLMultiArray.h"
#include "speech/ASR/Paraformer/ParaformerTimestamps.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/ParaformerModelBuilder.h"

namespace tesselaudio {
namespace {

constexpr std::size_t kSeconds = 30;
constexpr std::int64_t kPieces = 128;
constexpr std::int64_t kVocabulary = 140;
constexpr std::size_t kFrames = 512;

// Half a second of tone, a quarter of a second of silence, in turn.
std::vector<float> speechLikeAudio() {
  std::vector<float> audio = testsupport::sine(220, 16000, kSeconds * 16000, 0.3f);
  for (std::size_t i = 0; i < audio.size(); ++i) {
    if (i % 12000 >= 8000) audio[i] = 0.0f;
  }
  return audio;
}

void BM_ParaformerTimestamps(benchmark::State& state) {
  const std::vector<float> audio = speechLikeAudio();
  platform::MLMultiArray logits({1, kPieces, kVocabulary}, platform::MLMultiArrayDataType::float32);
  for (std::int64_t k = 0; k < kPieces; ++k) logits.set({0, k, 3 + k}, platform::NSNumber(1.0f));
  std::map<int, std::string> vocabulary;
  const auto pieces = testsupport::paraformerPieces();
  for (std::size_t id = 0; id < pieces.size(); ++id) vocabulary[static_cast<int>(id)] = pieces[id];
  // Weights summing to 128 tokens: their upsampled fires miss the count, so the rescaling runs too.
  const std::vector<float> alphas(kFrames, 0.25f);
  for (auto _ : state) {
    auto words = ParaformerTimestamps::decodeWithTimestamps(logits, kPieces, alphas, audio, vocabulary);
    benchmark::DoNotOptimize(words);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * audio.size()));
}

void BM_ParaformerTimestamps_Baseline(benchmark::State& state) {
  const std::vector<float> audio = speechLikeAudio();
  for (auto _ : state) {
    auto envelope = ParaformerTimestamps::smooth(ParaformerTimestamps::energyEnvelope(audio, 16000, 0.01), 3);
    benchmark::DoNotOptimize(envelope);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * audio.size()));
}

BENCHMARK(BM_ParaformerTimestamps)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ParaformerTimestamps_Baseline)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tesselaudio
