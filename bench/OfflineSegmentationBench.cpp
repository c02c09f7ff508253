// The offline diarizer's windowed segmentation.
//
// BM_OfflineSegmentation: one hour of 16 kHz audio from an ArrayAudioSampleSource, segmented with
//   the default configuration (10 s windows every 2 s, 32 per call: 1,800 windows) by the DC
//   stand-in model: windowing with the overlap kept, the model calls, log-softmax and decoding.
//   RTF = processing time ÷ audio time.
// BM_OfflineSegmentation_Baseline: the same 57 model calls (56 of 32 windows and one of 8) straight
//   through platform::MLModel, on inputs built before timing.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "platform/ml/MLDictionaryFeatureProvider.h"
#include "platform/ml/MLModel.h"
#include "platform/ml/MLMultiArray.h"
#include "platform/sys/HostInfo.h"
#include "speech/Diarizer/Offline/Core/OfflineDiarizerConfig.h"
#include "speech/Diarizer/Offline/Segmentation/OfflineSegmentationProcessor.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Shared/ArrayAudioSampleSource.h"
#include "tests/support/OfflineDiarizerModelBuilder.h"
#include "tests/support/TemporaryFolder.h"

namespace tesselaudio {
namespace {

constexpr std::int64_t kRate = 16000;
constexpr std::int64_t kSeconds = 3600;
constexpr std::int64_t kWindow = 160000;
constexpr std::int64_t kStep = 32000;
constexpr std::int64_t kBatch = 32;

// Two voices taking turns every 7 s, with silence between: levels the DC model tells apart.
std::vector<float> oneHour() {
  std::vector<float> samples(static_cast<std::size_t>(kSeconds * kRate));
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const auto turn = (i / static_cast<std::size_t>(7 * kRate)) % 3;
    samples[i] = turn == 0 ? 0.5f : turn == 1 ? -0.5f : 0.0f;
  }
  return samples;
}

std::shared_ptr<platform::MLModel> loadDcModel() {
  testsupport::TemporaryFolder folder;
  return std::make_shared<platform::MLModel>(testsupport::dcSegmentationModel().writeBundle(folder.path()));
}

void addContext() {
  static const bool added = [] {
    benchmark::AddCustomContext("host", platform::HostInfo::cpuModelName().value_or("unknown"));
    return true;
  }();
  (void)added;
}

void BM_OfflineSegmentation(benchmark::State& state) {
  addContext();
  AppLogger::setMirrorsToConsole(false);
  const auto model = loadDcModel();
  const ArrayAudioSampleSource source(oneHour());
  const auto config = OfflineDiarizerConfig::default_();
  OfflineSegmentationProcessor processor;
  for (auto _ : state) {
    auto output = processor.process(source, *model, config);
    benchmark::DoNotOptimize(output);
  }
  state.SetItemsProcessed(state.iterations() * kSeconds * kRate);
  state.counters["RTF"] = benchmark::Counter(static_cast<double>(kSeconds * state.iterations()),
                                             benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_OfflineSegmentation)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_OfflineSegmentation_Baseline(benchmark::State& state) {
  addContext();
  const auto model = loadDcModel();
  const auto samples = oneHour();
  const std::int64_t windows = (kSeconds * kRate + kStep - 1) / kStep;
  // One input per batch size, holding the first windows of the hour; a call costs the same
  // whatever the samples, and the segmentation also reuses one input per batch size.
  auto makeInput = [&](std::int64_t count) {
    auto array = std::make_shared<platform::MLMultiArray>(std::vector<std::int64_t>{count, 1, kWindow},
                                                          platform::MLMultiArrayDataType::float32);
    auto* data = static_cast<float*>(array->dataPointer());
    for (std::int64_t w = 0; w < count; ++w) {
      for (std::int64_t i = 0; i < kWindow; ++i) {
        const std::int64_t at = w * kStep + i;
        data[w * kWindow + i] = at < static_cast<std::int64_t>(samples.size()) ? samples[static_cast<std::size_t>(at)] : 0;
      }
    }
    return platform::MLDictionaryFeatureProvider(std::map<std::string, std::shared_ptr<platform::MLMultiArray>>{{"audio", array}});
  };
  const auto full = makeInput(kBatch);
  const auto tail = makeInput(windows % kBatch);
  for (auto _ : state) {
    for (std::int64_t b = 0; b < windows / kBatch; ++b) benchmark::DoNotOptimize(model->prediction(full));
    benchmark::DoNotOptimize(model->prediction(tail));
  }
  state.SetItemsProcessed(state.iterations() * kSeconds * kRate);
  state.counters["RTF"] = benchmark::Counter(static_cast<double>(kSeconds * state.iterations()),
                                             benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_OfflineSegmentation_Baseline)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace tesselaudio
