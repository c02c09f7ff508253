// Parakeet recogniser costs:
//   BM_EncoderFrameCopy            one 1024-value frame of a [1, 1024, 188] encoder output into the
//                                  joint's aligned [1, 1024, 1] encoder step (stride 16), the decoder's
//                                  path at every step ...
//   BM_EncoderFrameCopy_Baseline   ... beside the same frame moved through the multi-array's indexed
//                                  read and write.
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "platform/ml/MLMultiArray.h"
#include "speech/ASR/Parakeet/SlidingWindow/TDT/EncoderFrameView.h"
#include "speech/Shared/ANEMemoryUtils.h"

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

const bool kHostNoted = [] {
  benchmark::AddCustomContext("hardware_threads", std::to_string(std::thread::hardware_concurrency()));
  return true;
}();

}  // namespace
