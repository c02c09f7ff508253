// Costs of the CPU model executor, each beside a baseline of the same size:
//   BM_MLModelFeedForward       a 4-layer, 512-wide MatMul+Add+Relu network on 1,000 frames
//   BM_BlasSgemmFeedForward     the same four products as plain OpenBLAS sgemm calls
//   BM_MLModelConvStack         three 1-D convolutions (80->256->256->256, kernel 3) on 1,000 frames
//   BM_BlasSgemmConvStack       the same products as sgemm on prepared patch matrices
//   BM_Memcpy                   copying one 1,000 x 512 float activation
//   BM_MLModelLoad              loading the feed-forward bundle from disk
//   BM_MLModelNestedIfLstm      1,000 predictions of a detector-shaped network: an LSTM inside two If nodes
//   BM_MLModelPlainLstm         the same 1,000 predictions of the same LSTM without the If nodes
// The "GFLOP/s" counter lets the executor's overhead over raw BLAS be read off directly.
#include <cblas.h>

#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "platform/ml/MLDictionaryFeatureProvider.h"
#include "platform/ml/MLModel.h"
#include "tests/support/DetectorModelBuilder.h"
#include "tests/support/ModelBuilder.h"
#include "tests/support/TemporaryFolder.h"

namespace {

using platform::MLDictionaryFeatureProvider;
using platform::MLModel;
using platform::MLMultiArray;
using platform::MLMultiArrayDataType;
using testsupport::ElementType;
using testsupport::ModelBuilder;

constexpr int64_t kFrames = 1000;
constexpr int64_t kWidth = 512;
constexpr int kLayers = 4;
constexpr int64_t kMels = 80;
constexpr int64_t kChannels = 256;
constexpr int64_t kKernel = 3;

std::vector<double> randomValues(size_t count, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> uniform(-0.05, 0.05);
  std::vector<double> values(count);
  for (double& v : values) v = uniform(random);
  return values;
}

std::shared_ptr<MLMultiArray> randomArray(std::vector<int64_t> shape) {
  auto array = std::make_shared<MLMultiArray>(shape, MLMultiArrayDataType::float32);
  std::mt19937 random(7);
  std::uniform_real_distribution<float> uniform(-1, 1);
  auto* data = static_cast<float*>(array->dataPointer());
  for (int64_t i = 0; i < array->count(); ++i) data[i] = uniform(random);
  return array;
}

ModelBuilder feedForward() {
  ModelBuilder builder("FeedForward");
  builder.input("x", ElementType::float32, {kFrames, kWidth}).output("y", ElementType::float32, {kFrames, kWidth});
  std::string current = "x";
  for (int layer = 0; layer < kLayers; ++layer) {
    const std::string w = "w" + std::to_string(layer), b = "b" + std::to_string(layer);
    builder.initializer(w, {ElementType::float32, {kWidth, kWidth}, randomValues(kWidth * kWidth, layer)});
    builder.initializer(b, {ElementType::float32, {kWidth}, randomValues(kWidth, 100 + layer)});
    const std::string product = "p" + std::to_string(layer), sum = "s" + std::to_string(layer);
    const std::string out = layer + 1 == kLayers ? "y" : "h" + std::to_string(layer);
    builder.node("MatMul", {current, w}, {product}).node("Add", {product, b}, {sum}).node("Relu", {sum}, {out});
    current = out;
  }
  return builder;
}

ModelBuilder convStack() {
  ModelBuilder builder("ConvStack");
  builder.input("x", ElementType::float32, {1, kMels, kFrames}).output("y", ElementType::float32, {1, kChannels, kFrames});
  std::string current = "x";
  int64_t in = kMels;
  for (int layer = 0; layer < 3; ++layer) {
    const std::string w = "w" + std::to_string(layer), b = "b" + std::to_string(layer);
    builder.initializer(w, {ElementType::float32, {kChannels, in, kKernel}, randomValues(static_cast<size_t>(kChannels * in * kKernel), layer)});
    builder.initializer(b, {ElementType::float32, {kChannels}, randomValues(kChannels, 50 + layer)});
    const std::string conv = "c" + std::to_string(layer);
    const std::string out = layer == 2 ? "y" : "h" + std::to_string(layer);
    builder.node("Conv", {current, w, b}, {conv}, {{"pads", std::vector<int64_t>{1, 1}}}).node("Relu", {conv}, {out});
    current = out;
    in = kChannels;
  }
  return builder;
}

double feedForwardFlops() { return 2.0 * kLayers * kFrames * kWidth * kWidth; }
double convStackFlops() { return 2.0 * kFrames * kKernel * kChannels * (kMels + 2 * kChannels); }

void addHost() {
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  while (std::getline(cpuinfo, line)) {
    if (line.rfind("model name", 0) == 0) {
      benchmark::AddCustomContext("cpu", line.substr(line.find(':') + 2));
      break;
    }
  }
  benchmark::AddCustomContext("hardware_threads", std::to_string(std::thread::hardware_concurrency()));
  benchmark::AddCustomContext("openblas_threads", std::to_string(openblas_get_num_threads()));
}

void setGflops(benchmark::State& state, double flops) {
  state.counters["GFLOP/s"] = benchmark::Counter(flops * 1e-9 * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void runModel(benchmark::State& state, const ModelBuilder& builder, std::vector<int64_t> inputShape, double flops) {
  testsupport::TemporaryFolder folder;
  MLModel model(builder.writeBundle(folder.path()));
  MLDictionaryFeatureProvider inputs({{"x", randomArray(std::move(inputShape))}});
  benchmark::DoNotOptimize(model.prediction(inputs));
  for (auto _ : state) {
    auto outputs = model.prediction(inputs);
    benchmark::DoNotOptimize(outputs->featureValue("y")->multiArrayValue()->dataPointer());
  }
  setGflops(state, flops);
}

void BM_MLModelFeedForward(benchmark::State& state) { runModel(state, feedForward(), {kFrames, kWidth}, feedForwardFlops()); }
BENCHMARK(BM_MLModelFeedForward)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_BlasSgemmFeedForward(benchmark::State& state) {
  std::vector<float> a(kFrames * kWidth, 0.5f), w(kWidth * kWidth, 0.01f), c(kFrames * kWidth);
  for (auto _ : state) {
    for (int layer = 0; layer < kLayers; ++layer) {
      cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, kFrames, kWidth, kWidth, 1.0f, a.data(), kWidth, w.data(),
                  kWidth, 0.0f, c.data(), kWidth);
    }
    benchmark::DoNotOptimize(c.data());
  }
  setGflops(state, feedForwardFlops());
}
BENCHMARK(BM_BlasSgemmFeedForward)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_MLModelConvStack(benchmark::State& state) { runModel(state, convStack(), {1, kMels, kFrames}, convStackFlops()); }
BENCHMARK(BM_MLModelConvStack)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_BlasSgemmConvStack(benchmark::State& state) {
  std::vector<float> patches(kChannels * kKernel * kFrames, 0.5f), w(kChannels * kChannels * kKernel, 0.01f), c(kChannels * kFrames);
  for (auto _ : state) {
    for (int64_t in : {kMels, kChannels, kChannels}) {
      cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, kChannels, kFrames, in * kKernel, 1.0f, w.data(), in * kKernel,
                  patches.data(), kFrames, 0.0f, c.data(), kFrames);
    }
    benchmark::DoNotOptimize(c.data());
  }
  setGflops(state, convStackFlops());
}
BENCHMARK(BM_BlasSgemmConvStack)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Memcpy(benchmark::State& state) {
  std::vector<float> from(kFrames * kWidth, 1.0f), to(kFrames * kWidth);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), from.size() * sizeof(float));
    benchmark::DoNotOptimize(to.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(from.size() * sizeof(float)));
}
BENCHMARK(BM_Memcpy)->Unit(benchmark::kMicrosecond);

void BM_MLModelLoad(benchmark::State& state) {
  testsupport::TemporaryFolder folder;
  const auto bundle = feedForward().writeBundle(folder.path());
  for (auto _ : state) {
    MLModel model(bundle);
    benchmark::DoNotOptimize(&model);
  }
}
BENCHMARK(BM_MLModelLoad)->Unit(benchmark::kMillisecond);

// A stream of 512-sample chunks at 16 kHz, the recurrent state carried from one prediction to the next.
void runDetector(benchmark::State& state, const ModelBuilder& builder) {
  constexpr int kPredictions = 1000;
  testsupport::TemporaryFolder folder;
  MLModel model(builder.writeBundle(folder.path()));
  const auto x = randomArray({1, 512});
  auto sampleRate = std::make_shared<MLMultiArray>(std::vector<int64_t>{1}, MLMultiArrayDataType::int32);
  static_cast<int32_t*>(sampleRate->dataPointer())[0] = 16000;
  auto zero = std::make_shared<MLMultiArray>(std::vector<int64_t>{1, 1, 64}, MLMultiArrayDataType::float32);
  for (auto _ : state) {
    auto h = zero, c = zero;
    for (int i = 0; i < kPredictions; ++i) {
      auto outputs = model.prediction(MLDictionaryFeatureProvider({{"x", x}, {"sr", sampleRate}, {"h", h}, {"c", c}}));
      h = outputs->featureValue("hn")->multiArrayValue();
      c = outputs->featureValue("cn")->multiArrayValue();
    }
    benchmark::DoNotOptimize(h->dataPointer());
  }
  state.SetItemsProcessed(state.iterations() * kPredictions * 512);
}

void BM_MLModelNestedIfLstm(benchmark::State& state) { runDetector(state, testsupport::DetectorModelBuilder::nestedIf()); }
BENCHMARK(BM_MLModelNestedIfLstm)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_MLModelPlainLstm(benchmark::State& state) { runDetector(state, testsupport::DetectorModelBuilder::plain()); }
BENCHMARK(BM_MLModelPlainLstm)->Unit(benchmark::kMillisecond)->UseRealTime();

const int kHostNoted = (addHost(), 0);

}  // namespace
