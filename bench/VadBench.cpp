// The voice-activity detector over one hour of 16 kHz audio (14,063 chunks of 4,096 samples).
//
// BM_VadProcess: process() with the echo stand-in model: per chunk the copies into the pooled
//   inputs, one prediction, the output lookup and the new state.
// BM_VadProcess_Baseline: the same number of predictions on inputs filled once, so the difference
//   is what the manager adds around the model.
// BM_VadProcessChunk: processChunk() 14,063 times on one chunk already in cache, dropping each
//   result: the manager's own work per chunk without reading an hour of samples or keeping its
//   states, to set beside the baseline.
// BM_VadSegment: segmentSpeech() over the 14,063 chunk results of that hour.
// Items are samples, so items per second ÷ 16,000 is the real-time factor.

#include <cstdint>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "platform/ml/MLDictionaryFeatureProvider.h"
#include "platform/ml/MLModel.h"
#include "platform/ml/MLMultiArray.h"
#include "speech/VAD/VadManager.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/VadModelBuilder.h"

namespace tesselaudio {
namespace {

constexpr std::int64_t kHourSamples = 3600LL * 16000;
constexpr std::int64_t kHourChunks = (kHourSamples + VadManager::chunkSize - 1) / VadManager::chunkSize;

const bool kHostNoted = [] {
  std::ifstream cpuinfo("/proc/cpuinfo");
  for (std::string line; std::getline(cpuinfo, line);) {
    if (line.rfind("model name", 0) == 0) {
      benchmark::AddCustomContext("cpu", line.substr(line.find(':') + 2));
      break;
    }
  }
  benchmark::AddCustomContext("hardware_threads", std::to_string(std::thread::hardware_concurrency()));
  return true;
}();

std::shared_ptr<platform::MLModel> echoModel() {
  static testsupport::TemporaryFolder folder;
  static const auto model = testsupport::loadVadEchoModel(folder.path());
  return model;
}

// Speech and pauses in turn: each 4,096-sample chunk at one level, a pause of 3 chunks every 20.
std::vector<float> hourOfAudio() {
  std::vector<float> samples(static_cast<std::size_t>(kHourSamples));
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const std::size_t chunk = i / VadManager::chunkSize;
    samples[i] = chunk % 20 < 3 ? 0.1f : 0.95f;
  }
  return samples;
}

void BM_VadProcess(benchmark::State& state) {
  VadManager vad(VadConfig::default_(), echoModel());
  const auto samples = hourOfAudio();
  for (auto _ : state) {
    auto results = vad.process(samples);
    benchmark::DoNotOptimize(results.data());
  }
  state.SetItemsProcessed(state.iterations() * kHourSamples);
}
BENCHMARK(BM_VadProcess)->Unit(benchmark::kMillisecond);

void BM_VadProcess_Baseline(benchmark::State& state) {
  const auto model = echoModel();
  const auto f32 = platform::MLMultiArrayDataType::float32;
  const platform::MLDictionaryFeatureProvider inputs(std::map<std::string, std::shared_ptr<platform::MLMultiArray>>{
      {"audio_input", std::make_shared<platform::MLMultiArray>(std::vector<int64_t>{1, 4160}, f32)},
      {"hidden_state", std::make_shared<platform::MLMultiArray>(std::vector<int64_t>{1, 128}, f32)},
      {"cell_state", std::make_shared<platform::MLMultiArray>(std::vector<int64_t>{1, 128}, f32)}});
  for (auto _ : state) {
    for (std::int64_t chunk = 0; chunk < kHourChunks; ++chunk) {
      auto outputs = model->prediction(inputs);
      benchmark::DoNotOptimize(outputs.get());
    }
  }
  state.SetItemsProcessed(state.iterations() * kHourSamples);
}
BENCHMARK(BM_VadProcess_Baseline)->Unit(benchmark::kMillisecond);

void BM_VadProcessChunk(benchmark::State& state) {
  VadManager vad(VadConfig::default_(), echoModel());
  const std::vector<float> chunk(VadManager::chunkSize, 0.5f);
  const VadState initial = VadState::initial();
  for (auto _ : state) {
    for (std::int64_t i = 0; i < kHourChunks; ++i) {
      auto result = vad.processChunk(chunk, initial);
      benchmark::DoNotOptimize(result.probability);
    }
  }
  state.SetItemsProcessed(state.iterations() * kHourSamples);
}
BENCHMARK(BM_VadProcessChunk)->Unit(benchmark::kMillisecond);

void BM_VadSegment(benchmark::State& state) {
  VadManager vad(VadConfig::default_(), echoModel());
  const auto results = vad.process(hourOfAudio());
  for (auto _ : state) {
    auto segments = vad.segmentSpeech(results, kHourSamples, VadSegmentationConfig::default_());
    benchmark::DoNotOptimize(segments.data());
  }
  state.SetItemsProcessed(state.iterations() * kHourSamples);
}
BENCHMARK(BM_VadSegment)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tesselaudio
