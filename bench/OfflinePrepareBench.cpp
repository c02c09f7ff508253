// The offline diarizer's preparation: segmentation and embedding extraction side by side.
//
// BM_OfflinePrepare: ten minutes of two voices (5 s blocks at ±0.5) prepared by
//   OfflineDiarizerManager::prepare with the stand-in models: the segmentation worker hands each
//   window to the embedding worker while it goes on. RTF = wall time ÷ audio time; Overlap = the
//   stage's wall time ÷ the sum of the two workers' times (below 1 when they overlap).
// BM_OfflinePrepare_Baseline: the same two stages one after the other on the same audio: the
//   segmentation's process, then extractEmbeddings(audioSource, segmentation) on its output.

#include <cstdint>
#include <memory>
#include <vector>

#include <benchmark/benchmark.h>

#include "platform/ml/MLModel.h"
#include "platform/sys/HostInfo.h"
#include "speech/Diarizer/Offline/Clustering/PLDATransform.h"
#include "speech/Diarizer/Offline/Core/OfflineDiarizerManager.h"
#include "speech/Diarizer/Offline/Extraction/OfflineEmbeddingExtractor.h"
#include "speech/Diarizer/Offline/Segmentation/OfflineSegmentationProcessor.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Shared/ArrayAudioSampleSource.h"
#include "tests/support/OfflineDiarizerModelBuilder.h"
#include "tests/support/TemporaryFolder.h"

namespace tesselaudio {
namespace {

constexpr std::int64_t kRate = 16000;
constexpr std::int64_t kSeconds = 600;

std::shared_ptr<const AudioSampleSource> tenMinutesOfVoices() {
  std::vector<float> samples(static_cast<std::size_t>(kSeconds * kRate));
  for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = (i / (5 * kRate)) % 2 == 0 ? 0.5f : -0.5f;
  return std::make_shared<const ArrayAudioSampleSource>(std::move(samples));
}

OfflineDiarizerModels standInModels() {
  testsupport::TemporaryFolder folder;
  return testsupport::loadOfflineStandIns(folder.path());
}

void setUp() {
  static const bool done = [] {
    benchmark::AddCustomContext("host", platform::HostInfo::cpuModelName().value_or("unknown"));
    AppLogger::setMirrorsToConsole(false);
    AppLogger::setMinimumLevel(AppLogger::Level::info);
    return true;
  }();
  (void)done;
}

void reportRtf(benchmark::State& state) {
  state.SetItemsProcessed(state.iterations() * kSeconds * kRate);
  state.counters["RTF"] = benchmark::Counter(static_cast<double>(kSeconds * state.iterations()),
                                             benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_OfflinePrepare(benchmark::State& state) {
  setUp();
  const auto source = tenMinutesOfVoices();
  OfflineDiarizerManager manager(OfflineDiarizerConfig::default_());
  manager.initialize(standInModels());
  double overlapSum = 0;
  for (auto _ : state) {
    auto prepared = manager.prepare(source, 0);
    overlapSum += prepared.prepareWallSeconds / (prepared.segmentationSeconds + prepared.embeddingExtractionSeconds);
    benchmark::DoNotOptimize(prepared);
  }
  reportRtf(state);
  state.counters["Overlap"] = overlapSum / static_cast<double>(state.iterations());
}
BENCHMARK(BM_OfflinePrepare)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_OfflinePrepare_Baseline(benchmark::State& state) {
  setUp();
  const auto source = tenMinutesOfVoices();
  const auto models = standInModels();
  const auto config = OfflineDiarizerConfig::default_();
  for (auto _ : state) {
    OfflineSegmentationProcessor processor;
    const auto segmentation = processor.process(*source, *models.segmentationModel, config);
    const auto extractor = OfflineEmbeddingExtractor::make(models.fbankModel, models.embeddingModel,
                                                           PLDATransform(models.pldaRhoModel, models.pldaPsi), config);
    auto embeddings = extractor->extractEmbeddings(*source, segmentation);
    benchmark::DoNotOptimize(embeddings);
  }
  reportRtf(state);
}
BENCHMARK(BM_OfflinePrepare_Baseline)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace tesselaudio
