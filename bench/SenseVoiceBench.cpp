// The SenseVoice recogniser over 18 s of 16 kHz audio (1,800 frames, the longest default bucket),
// with the stand-in models whose encoder leaves its frame count open (the host is noted by
// VadBench.cpp).
//
// BM_SenseVoice18s: transcribeDetailed: waveform scaling, both predictions, the feature copy, the
//   argmax and CTC collapse over 1,804 logits rows, the tag expressions and the three scores.
// BM_SenseVoice18s_Baseline: the two predictions alone, on inputs filled before the timed loop.
// Items are samples, so items per second ÷ 16,000 is the real-time factor.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "platform/ml/MLDictionaryFeatureProvider.h"
#include "platform/ml/MLFeatureValue.h"
#include "platform/ml/MLModel.h"
#include "platform/ml/MLMultiArray.h"
#include "speech/ASR/SenseVoice/SenseVoiceManager.h"
#include "speech/ASR/SenseVoice/SenseVoiceModels.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/SenseVoiceModelBuilder.h"
#include "tests/support/TemporaryFolder.h"

namespace tesselaudio {
namespace {

using platform::MLMultiArray;
using platform::MLMultiArrayDataType;

constexpr std::int64_t kSamples = 18 * 16000;
constexpr std::int64_t kFrames = 1800;

const SenseVoiceModels& models() {
  static testsupport::TemporaryFolder folder;
  static const SenseVoiceModels loaded = [] {
    testsupport::SenseVoiceStandIns options;
    options.speechShapes = testsupport::SenseVoiceStandIns::SpeechShapes::unconstrained;
    testsupport::writeSenseVoiceFolder(folder.path(), options);
    return SenseVoiceModels::load(folder.path(), SenseVoiceEncoderPrecision::fp16);
  }();
  return loaded;
}

std::vector<float> audio() { return testsupport::sine(220, 16000, kSamples, 0.3f); }

std::shared_ptr<MLMultiArray> int32Array(std::int32_t value) {
  auto array = std::make_shared<MLMultiArray>(std::vector<std::int64_t>{1}, MLMultiArrayDataType::int32);
  static_cast<std::int32_t*>(array->dataPointer())[0] = value;
  return array;
}

void BM_SenseVoice18s(benchmark::State& state) {
  SenseVoiceManager recogniser(models());
  const std::vector<float> samples = audio();
  for (auto _ : state) {
    auto result = recogniser.transcribeDetailed(samples);
    benchmark::DoNotOptimize(result);
  }
  state.SetItemsProcessed(state.iterations() * kSamples);
}

void BM_SenseVoice18s_Baseline(benchmark::State& state) {
  const auto& set = models();
  const std::vector<float> samples = audio();
  auto waveform = std::make_shared<MLMultiArray>(std::vector<std::int64_t>{1, kSamples}, MLMultiArrayDataType::float32);
  float* scaled = static_cast<float*>(waveform->dataPointer());
  for (std::size_t i = 0; i < samples.size(); ++i) scaled[i] = samples[i] * 32768.0f;
  const platform::MLDictionaryFeatureProvider preprocessorInputs(
      std::map<std::string, std::shared_ptr<MLMultiArray>>{{"waveform", waveform}});
  const platform::MLDictionaryFeatureProvider encoderInputs(
      std::map<std::string, std::shared_ptr<MLMultiArray>>{
          {"speech", std::make_shared<MLMultiArray>(std::vector<std::int64_t>{1, kFrames, 560},
                                                    MLMultiArrayDataType::float32)},
          {"speech_lengths", int32Array(kFrames)},
          {"language", int32Array(0)},
          {"textnorm", int32Array(15)}});
  for (auto _ : state) {
    auto features = set.preprocessor->prediction(preprocessorInputs);
    auto logits = set.encoder->prediction(encoderInputs);
    benchmark::DoNotOptimize(features);
    benchmark::DoNotOptimize(logits);
  }
  state.SetItemsProcessed(state.iterations() * kSamples);
}

BENCHMARK(BM_SenseVoice18s)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SenseVoice18s_Baseline)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tesselaudio
