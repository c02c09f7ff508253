// Model buffer costs, each beside the baseline it should stay near:
//   BM_ANEMemoryUtilsStrideAwareCopyEqual      copy of a 1 MiB float32 array into one of equal strides
//   BM_ANEMemoryOptimizerOptimizedCopyDense    1 MiB of float samples into a dense float32 input
//   BM_Memcpy1MiB                              memcpy of the same bytes
//   BM_MLArrayCacheRoundTrip                   get and give back a [1, 240000] float32 array
//   BM_ANEMemoryUtilsCreateAlignedArray        a zero-filled aligned array of the same shape
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "speech/Shared/ANEMemoryOptimizer.h"
#include "speech/Shared/ANEMemoryUtils.h"
#include "speech/Shared/MLArrayCache.h"

namespace {

using platform::MLMultiArrayDataType;
using tesselaudio::ANEMemoryOptimizer;
using tesselaudio::MLArrayCache;
namespace ANEMemoryUtils = tesselaudio::ANEMemoryUtils;

constexpr int64_t kMiBFloats = (1 << 20) / sizeof(float);
const std::vector<int64_t> kMiBShape{512, kMiBFloats / 512};
const std::vector<int64_t> kCacheShape{1, 240000};

void BM_ANEMemoryUtilsStrideAwareCopyEqual(benchmark::State& state) {
  auto from = ANEMemoryUtils::createAlignedArray(kMiBShape, MLMultiArrayDataType::float32, true);
  auto to = ANEMemoryUtils::createAlignedArray(kMiBShape, MLMultiArrayDataType::float32, true);
  for (auto _ : state) {
    ANEMemoryUtils::strideAwareCopy(*from, *to);
    benchmark::DoNotOptimize(to->dataPointer());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * (1 << 20));
}
BENCHMARK(BM_ANEMemoryUtilsStrideAwareCopyEqual);

void BM_ANEMemoryOptimizerOptimizedCopyDense(benchmark::State& state) {
  ANEMemoryOptimizer memory;
  const std::vector<float> samples(kMiBFloats, 0.25f);
  auto to = memory.createAlignedArray({1, kMiBFloats}, MLMultiArrayDataType::float32);
  for (auto _ : state) {
    memory.optimizedCopy(samples, *to, 0, false);
    benchmark::DoNotOptimize(to->dataPointer());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * (1 << 20));
}
BENCHMARK(BM_ANEMemoryOptimizerOptimizedCopyDense);

void BM_Memcpy1MiB(benchmark::State& state) {
  std::vector<float> from(kMiBFloats, 0.25f);
  std::vector<float> to(kMiBFloats);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), 1 << 20);
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * (1 << 20));
}
BENCHMARK(BM_Memcpy1MiB);

void BM_MLArrayCacheRoundTrip(benchmark::State& state) {
  MLArrayCache cache;
  cache.returnArray(cache.getArray(kCacheShape, MLMultiArrayDataType::float32));
  for (auto _ : state) {
    auto array = cache.getArray(kCacheShape, MLMultiArrayDataType::float32);
    benchmark::DoNotOptimize(array->dataPointer());
    cache.returnArray(std::move(array));
  }
}
BENCHMARK(BM_MLArrayCacheRoundTrip);

void BM_ANEMemoryUtilsCreateAlignedArray(benchmark::State& state) {
  for (auto _ : state) {
    auto array = ANEMemoryUtils::createAlignedArray(kCacheShape, MLMultiArrayDataType::float32, true);
    benchmark::DoNotOptimize(array->dataPointer());
  }
}
BENCHMARK(BM_ANEMemoryUtilsCreateAlignedArray);

const bool kHostNoted = [] {
  benchmark::AddCustomContext("hardware_threads", std::to_string(std::thread::hardware_concurrency()));
  return true;
}();

}  // namespace
