// CAM++ speaker embeddings with the pooling stand-in networks.
//
// BM_CampPlusEmbed: embed(audio) of 10 s of 16 kHz audio: scaling, the preprocessor, the mean
// subtraction, the pooling network and the normalisation.
// BM_CampPlusEmbed_Baseline: the two predictions alone on inputs prepared outside the loop, in the
// same run. Target: at most 2 times the baseline's CPU time.

#include <cmath>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "platform/ml/MLDictionaryFeatureProvider.h"
#include "platform/ml/MLFeatureValue.h"
#include "platform/ml/MLMultiArray.h"
#include "speech/Diarizer/Extraction/CampPlusEmbedder.h"
#include "speech/Diarizer/Extraction/CampPlusModels.h"
#include "tests/support/CampPlusModelBuilder.h"
#include "tests/support/TemporaryFolder.h"

namespace tesselaudio {
namespace {

using platform::MLMultiArray;
using Arrays = std::map<std::string, std::shared_ptr<MLMultiArray>>;

constexpr int64_t kSamples = 160000;

std::vector<float> speechLikeAudio() {
  std::vector<float> audio(kSamples);
  for (int64_t i = 0; i < kSamples; ++i) {
    const double t = static_cast<double>(i) / 16000.0;
    audio[static_cast<size_t>(i)] = static_cast<float>(0.3 * std::sin(2 * M_PI * 180 * t) * std::sin(2 * M_PI * 3 * t));
  }
  return audio;
}

CampPlusModels poolingModels(const testsupport::TemporaryFolder& folder) {
  testsupport::campPlusPreprocessor().writeBundle(folder.path());
  testsupport::campPlusPoolingModel().writeBundle(folder.path());
  return CampPlusModels::load(folder.path());
}

void BM_CampPlusEmbed(benchmark::State& state) {
  testsupport::TemporaryFolder folder;
  CampPlusEmbedder embedder(poolingModels(folder));
  const auto audio = speechLikeAudio();
  benchmark::DoNotOptimize(embedder.embed(audio));
  for (auto _ : state) {
    auto embedding = embedder.embed(audio);
    benchmark::DoNotOptimize(embedding);
  }
  state.SetItemsProcessed(state.iterations() * kSamples);
}

void BM_CampPlusEmbed_Baseline(benchmark::State& state) {
  testsupport::TemporaryFolder folder;
  const auto models = poolingModels(folder);
  const auto audio = speechLikeAudio();
  auto waveform = std::make_shared<MLMultiArray>(std::vector<int64_t>{1, kSamples},
                                                 platform::MLMultiArrayDataType::float32);
  auto* data = static_cast<float*>(waveform->dataPointer());
  for (int64_t i = 0; i < kSamples; ++i) data[i] = audio[static_cast<size_t>(i)] * 32768.0f;
  const platform::MLDictionaryFeatureProvider waveformInput(Arrays{{"waveform", waveform}});
  const auto features = models.preprocessor->prediction(waveformInput)->featureValue("features")->multiArrayValue();
  const platform::MLDictionaryFeatureProvider featuresInput(Arrays{{"feats", features}});
  for (auto _ : state) {
    auto preprocessed = models.preprocessor->prediction(waveformInput);
    auto embedded = models.model->prediction(featuresInput);
    benchmark::DoNotOptimize(preprocessed);
    benchmark::DoNotOptimize(embedded);
  }
  state.SetItemsProcessed(state.iterations() * kSamples);
}

BENCHMARK(BM_CampPlusEmbed)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CampPlusEmbed_Baseline)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tesselaudio
