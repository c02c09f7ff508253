// The chunked diarizer over one hour of two alternating voices, with the level stand-in models.
//
// BM_DiarizeHour: performCompleteDiarization of one hour (360 chunks): chunk copies, segmentation,
// decoding, masks, two embeddings per chunk, speaker matching and segment building. Reports RTF,
// processing time ÷ audio time.
// BM_DiarizeHour_Baseline: the same 360 segmentation and 720 embedding predictions straight through
// platform::MLModel, on inputs built outside the loop, in the same run. Target: at most 2 times the
// baseline's real time.

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "platform/ml/MLDictionaryFeatureProvider.h"
#include "platform/ml/MLMultiArray.h"
#include "speech/Diarizer/Core/DiarizerManager.h"
#include "speech/Diarizer/Core/DiarizerModels.h"
#include "tests/support/DiarizerModelBuilder.h"
#include "tests/support/TemporaryFolder.h"

namespace tesselaudio {
namespace {

using platform::MLMultiArray;
using Arrays = std::map<std::string, std::shared_ptr<MLMultiArray>>;

constexpr double kAudioSeconds = 3600;
constexpr int64_t kChunks = 360;
constexpr int64_t kChunkSamples = testsupport::kDiarizerChunkSamples;
constexpr int64_t kFrames = testsupport::kSegmentationFrames;
// The first frame that hears the second voice of a chunk.
constexpr int64_t kSecondVoiceFrame = 296;

DiarizerModels levelModels(const testsupport::TemporaryFolder& folder) {
  return DiarizerModels::load(testsupport::dcSegmentationModel().writeBundle(folder.path()),
                              testsupport::levelEmbeddingModel().writeBundle(folder.path()));
}

std::shared_ptr<MLMultiArray> floats(std::vector<int64_t> shape) {
  return std::make_shared<MLMultiArray>(std::move(shape), platform::MLMultiArrayDataType::float32);
}

void BM_DiarizeHour(benchmark::State& state) {
  testsupport::TemporaryFolder folder;
  const auto models = levelModels(folder);
  const auto voices = testsupport::alternatingVoices(kAudioSeconds);
  for (auto _ : state) {
    state.PauseTiming();
    DiarizerManager manager;
    manager.initialize(models);
    state.ResumeTiming();
    auto result = manager.performCompleteDiarization(voices);
    benchmark::DoNotOptimize(result);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(voices.size()));
  state.counters["RTF"] =
      benchmark::Counter(kAudioSeconds * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_DiarizeHour_Baseline(benchmark::State& state) {
  testsupport::TemporaryFolder folder;
  const auto models = levelModels(folder);
  // Every 10 s chunk of the voices is the same: the first voice for 5 s, then the second.
  const auto chunk = testsupport::alternatingVoices(10);
  auto audio = floats({1, 1, kChunkSamples});
  auto waveform = floats({3, kChunkSamples});
  std::copy(chunk.begin(), chunk.end(), static_cast<float*>(audio->dataPointer()));
  std::copy(chunk.begin(), chunk.end(), static_cast<float*>(waveform->dataPointer()));
  auto firstMask = floats({3, kFrames});
  auto secondMask = floats({3, kFrames});
  auto* first = static_cast<float*>(firstMask->dataPointer());
  auto* second = static_cast<float*>(secondMask->dataPointer());
  for (int64_t f = 0; f < kFrames; ++f) (f < kSecondVoiceFrame ? first : second)[f] = 1.0f;
  const platform::MLDictionaryFeatureProvider segmentationInput(Arrays{{"audio", audio}});
  const platform::MLDictionaryFeatureProvider firstInput(Arrays{{"waveform", waveform}, {"mask", firstMask}});
  const platform::MLDictionaryFeatureProvider secondInput(Arrays{{"waveform", waveform}, {"mask", secondMask}});
  for (auto _ : state) {
    for (int64_t c = 0; c < kChunks; ++c) {
      auto segments = models.segmentationModel->prediction(segmentationInput);
      auto firstEmbedding = models.embeddingModel->prediction(firstInput);
      auto secondEmbedding = models.embeddingModel->prediction(secondInput);
      benchmark::DoNotOptimize(segments);
      benchmark::DoNotOptimize(firstEmbedding);
      benchmark::DoNotOptimize(secondEmbedding);
    }
  }
  state.SetItemsProcessed(state.iterations() * kChunks * kChunkSamples);
  state.counters["RTF"] =
      benchmark::Counter(kAudioSeconds * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

BENCHMARK(BM_DiarizeHour)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DiarizeHour_Baseline)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace tesselaudio
