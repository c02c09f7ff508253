// Streaming recognition costs:
//   BM_ArgmaxPerFrame   LogitsArgmax::argmaxPerFrame over float32 logits [1, 500, 5000] (the time
//                       reported); counter "ratio" is its time over a plain double loop searching
//                       the same memory, "ratio_f16" the time for the same values in float16 over
//                       the float32 time.
#include <chrono>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "platform/ml/MLMultiArray.h"
#include "speech/ASR/Shared/LogitsArgmax.h"

namespace {

using platform::MLMultiArray;
using platform::MLMultiArrayDataType;
using Clock = std::chrono::steady_clock;

constexpr int64_t kFrames = 500;
constexpr int64_t kVocabulary = 5000;

std::shared_ptr<MLMultiArray> randomLogits(MLMultiArrayDataType type) {
  auto logits = std::make_shared<MLMultiArray>(std::vector<int64_t>{1, kFrames, kVocabulary}, type);
  std::mt19937 random(5);
  std::normal_distribution<float> value(0, 4);
  for (int64_t i = 0; i < logits->count(); ++i) logits->set(i, value(random));
  return logits;
}

// The same search written out plainly: the lowest index of each row's largest value.
std::vector<int> plainArgmax(const float* data) {
  std::vector<int> ids;
  ids.reserve(kFrames);
  for (int64_t t = 0; t < kFrames; ++t) {
    const float* row = data + t * kVocabulary;
    int64_t best = 0;
    for (int64_t v = 1; v < kVocabulary; ++v) {
      if (row[v] > row[best]) best = v;
    }
    ids.push_back(static_cast<int>(best));
  }
  return ids;
}

double secondsOf(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

void BM_ArgmaxPerFrame(benchmark::State& state) {
  const auto float32 = randomLogits(MLMultiArrayDataType::float32);
  const auto float16 = randomLogits(MLMultiArrayDataType::float16);
  const auto* data = static_cast<const float*>(float32->dataPointer());
  benchmark::DoNotOptimize(tesselaudio::LogitsArgmax::argmaxPerFrame(*float32, kFrames));
  double argmaxSeconds = 0;
  double loopSeconds = 0;
  double float16Seconds = 0;
  for (auto _ : state) {
    auto start = Clock::now();
    auto ids = tesselaudio::LogitsArgmax::argmaxPerFrame(*float32, kFrames);
    benchmark::DoNotOptimize(ids.data());
    const double argmax = secondsOf(start);

    start = Clock::now();
    auto plain = plainArgmax(data);
    benchmark::DoNotOptimize(plain.data());
    loopSeconds += secondsOf(start);

    start = Clock::now();
    auto halfIds = tesselaudio::LogitsArgmax::argmaxPerFrame(*float16, kFrames);
    benchmark::DoNotOptimize(halfIds.data());
    float16Seconds += secondsOf(start);

    argmaxSeconds += argmax;
    state.SetIterationTime(argmax);
  }
  state.counters["ratio"] = argmaxSeconds / loopSeconds;
  state.counters["ratio_f16"] = float16Seconds / argmaxSeconds;
  state.SetItemsProcessed(state.iterations() * kFrames);
}
BENCHMARK(BM_ArgmaxPerFrame)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
