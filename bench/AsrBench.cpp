// Parakeet recogniser costs:
//   BM_EncoderFrameCopy            one 1024-value frame of a [1, 1024, 188] encoder output into the
//                                  joint's aligned [1, 1024, 1] encoder step (stride 16), the decoder's
//                                  path at every step ...
//   BM_EncoderFrameCopy_Baseline   ... beside the same frame moved through the multi-array's indexed
//                                  read and write.
//   BM_TdtDecodeWindow             one 188-frame window through the TDT decoder with stand-in networks of
//                                  the real widths (1024 and 640), a token every other frame ...
//   BM_TdtDecodeWindow_Baseline    ... beside the same joint and prediction-network predictions made
//                                  directly on prepared inputs.
//   BM_AsrModelsWarmLoad           AsrModels::load of a cached v3 stand-in set with a three-function
//                                  encoder ladder, the registry on a loopback hub (counter `requests`:
//                                  the hub's requests after the run, 0 for a warm cache) ...
//   BM_AsrModelsWarmLoad_Baseline  ... beside opening the same bundles and functions directly.
//   BM_EncoderLadder               one 240,000-sample window holding 2 s of speech (32,000 samples)
//                                  through AsrManager::executeMLInferenceWithTimings with a 2 s
//                                  ladder function, stand-in networks whose encoder costs one
//                                  1024 x 1024 MatMul per encoder frame ...
//   BM_EncoderLadder_Baseline      ... beside the same window on a manager without a ladder (the
//                                  full 15 s encoder).
//   BM_SeamDedup                   AsrManager::removeDuplicateTokenSequence on its worst seam: 15
//                                  previous and 20 current timed tokens, no suffix-prefix overlap and
//                                  the only repeated run at the last candidate ...
//   BM_SeamDedup_Baseline          ... beside one 240,000-sample window of speech decoded with the
//                                  stand-in set through executeMLInferenceWithTimings.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <cblas.h>

#include "platform/ml/MLDictionaryFeatureProvider.h"
#include "platform/ml/MLModel.h"
#include "platform/ml/MLMultiArray.h"
#include "speech/ASR/Parakeet/AsrManager.h"
#include "speech/ASR/Parakeet/AsrModels.h"
#include "speech/ASR/Parakeet/SlidingWindow/TDT/EncoderFrameView.h"
#include "speech/ASR/Parakeet/SlidingWindow/TDT/ReusableJointInputProvider.h"
#include "speech/ASR/Parakeet/SlidingWindow/TDT/TdtDecoderV3.h"
#include "speech/Shared/ANEMemoryUtils.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Shared/Download/ModelHub.h"
#include "speech/Shared/Download/ModelRegistry.h"
#include "tests/support/HubFake.h"
#include "tests/support/ParakeetModelBuilder.h"
#include "tests/support/TemporaryFolder.h"

namespace {

using platform::MLMultiArray;
using platform::MLMultiArrayDataType;
using tesselaudio::EncoderFrameView;

constexpr int64_t kHidden = 1024;
constexpr int64_t kFrames = 188;
constexpr int64_t kFrame = 93;

std::shared_ptr<MLMultiArray> encoderOutput() {
  auto output = std::make_shared<MLMultiArray>(std::vector<int64_t>{1, kHidden, kFrames}, MLMultiArrayDataType::float32);
  auto* values = static_cast<float*>(output->dataPointer());
  for (int64_t i = 0; i < output->count(); ++i) values[i] = static_cast<float>(i % 977) * 0.01f;
  return output;
}

std::shared_ptr<MLMultiArray> encoderStep() {
  return tesselaudio::ANEMemoryUtils::createAlignedArray({1, kHidden, 1}, MLMultiArrayDataType::float32, true);
}

void BM_EncoderFrameCopy(benchmark::State& state) {
  const EncoderFrameView view(encoderOutput(), kFrames, kHidden);
  auto step = encoderStep();
  auto* destination = static_cast<float*>(step->dataPointer());
  const int64_t destinationStride = step->strides()[1];
  for (auto _ : state) {
    view.copyFrame(kFrame, destination, destinationStride);
    benchmark::DoNotOptimize(destination);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kHidden);
}
BENCHMARK(BM_EncoderFrameCopy);

void BM_EncoderFrameCopy_Baseline(benchmark::State& state) {
  const auto output = encoderOutput();
  auto step = encoderStep();
  for (auto _ : state) {
    for (int64_t h = 0; h < kHidden; ++h) step->set({0, h, 0}, (*output)[{0, h, kFrame}]);
    benchmark::DoNotOptimize(step->dataPointer());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kHidden);
}
BENCHMARK(BM_EncoderFrameCopy_Baseline);

// The stand-in networks, written once into a temporary folder and loaded.
struct StandIns {
  testsupport::TemporaryFolder folder;
  std::unique_ptr<platform::MLModel> joint;
  std::unique_ptr<platform::MLModel> network;

  StandIns() {
    testsupport::ParakeetJointScript script;
    script.tokenIds = {8192, 17};
    script.probabilities = {0.9f, 0.8f};
    joint = std::make_unique<platform::MLModel>(testsupport::parakeetJoint(script).writeBundle(folder / "joint"));
    network = std::make_unique<platform::MLModel>(testsupport::parakeetDecoder({}).writeBundle(folder / "decoder"));
  }
};

// [1, 188, 1024]: a token of one frame at even frames, a blank at odd ones. A decode makes 188
// joint predictions and 95 prediction-network runs (the priming run and one per token).
std::shared_ptr<MLMultiArray> alternatingWindow() {
  auto output = std::make_shared<MLMultiArray>(std::vector<int64_t>{1, kFrames, kHidden}, MLMultiArrayDataType::float32);
  auto* values = static_cast<float*>(output->dataPointer());
  for (int64_t t = 0; t < kFrames; ++t) {
    values[t * kHidden] = t % 2 == 0 ? 1.2f : 0.2f;
    values[t * kHidden + 1] = 0.8f;
  }
  return output;
}

constexpr int kJointPredictions = 188;

void BM_TdtDecodeWindow(benchmark::State& state) {
  const StandIns models;
  const auto window = alternatingWindow();
  const tesselaudio::TdtDecoderV3 decoder(tesselaudio::ASRConfig::default_());
  tesselaudio::TdtDecoderState decoderState(2);
  for (auto _ : state) {
    // Fresh again: the decode zeroes the arrays and primes them.
    decoderState.lastToken.reset();
    decoderState.predictorOutput.reset();
    decoderState.timeJump.reset();
    auto h = decoder.decodeWithTimings(window, kFrames, kFrames, *models.network, *models.joint, decoderState, 0, false,
                                       0, std::nullopt, nullptr, nullptr, std::nullopt, std::nullopt, {});
    if (h.ySequence.size() != 94) state.SkipWithError("unexpected token count");
    benchmark::DoNotOptimize(h.ySequence.data());
  }
  state.SetItemsProcessed(state.iterations() * kFrames);
}
BENCHMARK(BM_TdtDecodeWindow)->Unit(benchmark::kMicrosecond);

void BM_TdtDecodeWindow_Baseline(benchmark::State& state) {
  const StandIns models;
  auto encoderInput = encoderStep();
  auto decoderStep = tesselaudio::ANEMemoryUtils::createAlignedArray({1, 640, 1}, MLMultiArrayDataType::float32, true);
  encoderInput->set(0, 1.2);
  const tesselaudio::ReusableJointInputProvider jointInputs(encoderInput, decoderStep);
  platform::MLPredictionOptions jointOptions;
  jointOptions.outputBackings = {
      {"token_id", std::make_shared<MLMultiArray>(std::vector<int64_t>{1, 1, 1}, MLMultiArrayDataType::int32)},
      {"token_prob", std::make_shared<MLMultiArray>(std::vector<int64_t>{1, 1, 1}, MLMultiArrayDataType::float32)},
      {"duration", std::make_shared<MLMultiArray>(std::vector<int64_t>{1, 1, 1}, MLMultiArrayDataType::int32)}};
  const tesselaudio::TdtDecoderState decoderState(2);
  auto targets = std::make_shared<MLMultiArray>(std::vector<int64_t>{1, 1}, MLMultiArrayDataType::int32);
  auto targetLength = std::make_shared<MLMultiArray>(std::vector<int64_t>{1}, MLMultiArrayDataType::int32);
  targetLength->set(0, 1);
  const platform::MLDictionaryFeatureProvider networkInputs(std::map<std::string, std::shared_ptr<MLMultiArray>>{
      {"targets", targets}, {"target_length", targetLength}, {"h_in", decoderState.hiddenState},
      {"c_in", decoderState.cellState}});
  platform::MLPredictionOptions networkOptions;
  networkOptions.outputBackings = {{"h_out", decoderState.hiddenState}, {"c_out", decoderState.cellState}};
  // The order of one decode: the priming run, then a joint prediction per frame and a network run
  // after each token.
  for (auto _ : state) {
    benchmark::DoNotOptimize(models.network->prediction(networkInputs, networkOptions));
    for (int t = 0; t < kJointPredictions; ++t) {
      benchmark::DoNotOptimize(models.joint->prediction(jointInputs, jointOptions));
      if (t % 2 == 0) benchmark::DoNotOptimize(models.network->prediction(networkInputs, networkOptions));
    }
  }
  state.SetItemsProcessed(state.iterations() * kFrames);
}
BENCHMARK(BM_TdtDecodeWindow_Baseline)->Unit(benchmark::kMicrosecond);

// A cached v3 stand-in set under a temporary XDG_DATA_HOME, the registry on a loopback hub that
// serves nothing.
struct WarmCache {
  testsupport::TemporaryFolder data;
  testsupport::HubFake hub;
  std::filesystem::path folder;

  WarmCache() {
    setenv("XDG_DATA_HOME", data.path().c_str(), 1);
    tesselaudio::AppLogger::setMirrorsToConsole(false);
    tesselaudio::ModelRegistry::setBaseURL(hub.baseURL());
    const tesselaudio::AsrModelVersion version = tesselaudio::AsrModelVersion::v3;
    folder = tesselaudio::AsrModels::defaultCacheDirectory(version);
    testsupport::ParakeetModelSet set;
    set.vocabulary = testsupport::parakeetVocabulary(version.blankId());
    set.encoder.functions = {{"enc_2000ms", 201}, {"enc_5000ms", 501}, {"enc_15000ms", 1501}};
    testsupport::writeParakeetModelSet(folder, set);
  }
};

void BM_AsrModelsWarmLoad(benchmark::State& state) {
  WarmCache cache;
  for (auto _ : state) {
    auto models = tesselaudio::AsrModels::load(cache.folder);
    if (models.encoderLadder.size() != 3) state.SkipWithError("unexpected ladder");
    benchmark::DoNotOptimize(models.joint.get());
  }
  state.counters["requests"] = static_cast<double>(cache.hub.requests().size());
}
BENCHMARK(BM_AsrModelsWarmLoad)->Unit(benchmark::kMillisecond);

void BM_AsrModelsWarmLoad_Baseline(benchmark::State& state) {
  WarmCache cache;
  using tesselaudio::ModelHub::openCompiledModel;
  const auto open = [](const std::filesystem::path& bundle, platform::MLComputeUnits units,
                       std::optional<std::string> function = std::nullopt) {
    platform::MLModelConfiguration configuration;
    configuration.computeUnits = units;
    configuration.functionName = std::move(function);
    return openCompiledModel(bundle, configuration);
  };
  constexpr auto ane = platform::MLComputeUnits::cpuAndNeuralEngine;
  for (auto _ : state) {
    benchmark::DoNotOptimize(open(cache.folder / "Preprocessor.mlmodelc", platform::MLComputeUnits::cpuOnly).get());
    benchmark::DoNotOptimize(open(cache.folder / "Encoder.mlmodelc", ane).get());
    benchmark::DoNotOptimize(open(cache.folder / "Encoder.mlmodelc", ane, "enc_2000ms").get());
    benchmark::DoNotOptimize(open(cache.folder / "Encoder.mlmodelc", ane, "enc_5000ms").get());
    benchmark::DoNotOptimize(open(cache.folder / "Decoder.mlmodelc", ane).get());
    benchmark::DoNotOptimize(open(cache.folder / "JointDecisionv3.mlmodelc", ane).get());
  }
}
BENCHMARK(BM_AsrModelsWarmLoad_Baseline)->Unit(benchmark::kMillisecond);

// A v3 stand-in set with the costly encoder, written and loaded once, with and without its ladder.
struct LadderSet {
  testsupport::TemporaryFolder folder;
  tesselaudio::AsrModels models;

  LadderSet() {
    const tesselaudio::AsrModelVersion version = tesselaudio::AsrModelVersion::v3;
    testsupport::ParakeetModelSet set;
    set.vocabulary = testsupport::parakeetVocabulary(version.blankId());
    set.window.emplace();
    set.window->heavyEncoder = true;
    set.window->tokenIds = {static_cast<int32_t>(version.blankId()), 100};
    set.window->probabilities = {1.0f, 0.9f};
    testsupport::writeParakeetModelSet(folder.path(), set);
    models = tesselaudio::AsrModels::loadLocal(folder.path(), version);
    models.encoderLadder = tesselaudio::AsrModels::loadEncoderLadder(folder / set.encoderFile,
                                                                     platform::MLComputeUnits::cpuOnly, models.encoder);
  }
};

// Runs the 2 s window through a manager over `models`, with BLAS on this thread alone: the CPU
// time then holds the whole encoder, which OpenBLAS's own threads would otherwise carry unseen.
void runTwoSecondWindow(benchmark::State& state, const tesselaudio::AsrModels& models) {
  const int blasThreads = openblas_get_num_threads();
  openblas_set_num_threads(1);
  constexpr int64_t kReal = 32000;
  std::vector<float> window(240000, 0.0f);
  std::fill(window.begin(), window.begin() + kReal, 0.0316f);  // the stand-in's first token class
  tesselaudio::AppLogger::setMirrorsToConsole(false);
  const auto manager = std::make_shared<tesselaudio::AsrManager>(tesselaudio::ASRConfig{}, models);
  manager->waitForBackgroundTasks();
  int64_t tokens = 0;
  for (auto _ : state) {
    tesselaudio::TdtDecoderState decoderState(2);
    const auto result = manager->executeMLInferenceWithTimings(window, kReal, std::nullopt, decoderState);
    tokens = static_cast<int64_t>(result.hypothesis.ySequence.size());
    benchmark::DoNotOptimize(result.encoderSequenceLength);
  }
  state.counters["tokens"] = static_cast<double>(tokens);
  state.SetItemsProcessed(state.iterations() * kReal);
  openblas_set_num_threads(blasThreads);
}

const LadderSet& ladderSet() {
  static const LadderSet set;
  return set;
}

void BM_EncoderLadder(benchmark::State& state) { runTwoSecondWindow(state, ladderSet().models); }
BENCHMARK(BM_EncoderLadder)->Unit(benchmark::kMillisecond);

void BM_EncoderLadder_Baseline(benchmark::State& state) {
  tesselaudio::AsrModels withoutLadder = ladderSet().models;
  withoutLadder.encoderLadder.clear();
  runTwoSecondWindow(state, withoutLadder);
}
BENCHMARK(BM_EncoderLadder_Baseline)->Unit(benchmark::kMillisecond);

void BM_SeamDedup(benchmark::State& state) {
  tesselaudio::AppLogger::setMirrorsToConsole(false);
  const auto manager = std::make_shared<tesselaudio::AsrManager>();
  manager->waitForBackgroundTasks();
  std::vector<int64_t> previous;
  std::vector<int64_t> previousFrames;
  for (int64_t i = 0; i < 15; ++i) {
    previous.push_back(1 + i);
    previousFrames.push_back(100 + i);
  }
  // Ids 101 to 118, then the last two previous ids at the last start the bounded search tries.
  std::vector<int64_t> current;
  std::vector<int64_t> currentFrames;
  for (int64_t i = 0; i < 18; ++i) current.push_back(101 + i);
  current.push_back(14);
  current.push_back(15);
  for (int64_t i = 0; i < 20; ++i) currentFrames.push_back(110 + i);
  const std::set<int> punctuation = manager->punctuationTokenIds();
  int64_t removed = 0;
  for (auto _ : state) {
    const auto result =
        manager->removeDuplicateTokenSequence(previous, current, 12, previousFrames, currentFrames, 25, punctuation);
    removed = result.removedCount;
    benchmark::DoNotOptimize(result.deduped.data());
  }
  state.counters["removed"] = static_cast<double>(removed);
}
BENCHMARK(BM_SeamDedup)->Unit(benchmark::kMicrosecond);

void BM_SeamDedup_Baseline(benchmark::State& state) {
  const int blasThreads = openblas_get_num_threads();
  openblas_set_num_threads(1);
  const tesselaudio::AsrModelVersion version = tesselaudio::AsrModelVersion::v3;
  testsupport::TemporaryFolder folder;
  testsupport::ParakeetModelSet set;
  set.vocabulary = testsupport::parakeetVocabulary(version.blankId());
  set.window.emplace();
  set.window->tokenIds = {static_cast<int32_t>(version.blankId()), 100};
  set.window->probabilities = {1.0f, 0.9f};
  testsupport::writeParakeetModelSet(folder.path(), set);
  tesselaudio::AppLogger::setMirrorsToConsole(false);
  const auto manager = std::make_shared<tesselaudio::AsrManager>(
      tesselaudio::ASRConfig{}, tesselaudio::AsrModels::loadLocal(folder.path(), version));
  manager->waitForBackgroundTasks();
  // A token every other 1,280-sample block across the whole window.
  std::vector<float> window(240000, 0.0f);
  for (size_t block = 0; block * 1280 < window.size(); block += 2) {
    std::fill(window.begin() + static_cast<int64_t>(block * 1280),
              window.begin() + static_cast<int64_t>(std::min(window.size(), block * 1280 + 1280)), 0.0316f);
  }
  int64_t tokens = 0;
  for (auto _ : state) {
    tesselaudio::TdtDecoderState decoderState(2);
    const auto result = manager->executeMLInferenceWithTimings(window, std::nullopt, std::nullopt, decoderState);
    tokens = static_cast<int64_t>(result.hypothesis.ySequence.size());
    benchmark::DoNotOptimize(result.encoderSequenceLength);
  }
  state.counters["tokens"] = static_cast<double>(tokens);
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(window.size()));
  openblas_set_num_threads(blasThreads);
}
BENCHMARK(BM_SeamDedup_Baseline)->Unit(benchmark::kMicrosecond);

const bool kHostNoted = [] {
  benchmark::AddCustomContext("hardware_threads", std::to_string(std::thread::hardware_concurrency()));
  return true;
}();

}  // namespace
