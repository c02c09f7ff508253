// Counts heap allocations through a replaced global operator new, so it has a binary of its own.
#include <atomic>
#include <cstdlib>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ml/MLDictionaryFeatureProvider.h"
#include "platform/ml/MLModel.h"
#include "platform/ml/MLMultiArray.h"
#include "speech/ASR/Parakeet/SlidingWindow/TDT/ReusableJointInputProvider.h"
#include "speech/ASR/Parakeet/SlidingWindow/TDT/TdtDecoderV3.h"
#include "speech/Shared/ANEMemoryUtils.h"
#include "tests/support/MultiArrays.h"
#include "tests/support/ParakeetModelBuilder.h"
#include "tests/support/TemporaryFolder.h"

namespace {

std::atomic<bool> counting{false};
std::atomic<long> allocations{0};

void* allocate(std::size_t size, std::size_t alignment = 0) {
  if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
  if (size == 0) size = 1;
  void* p = nullptr;
  if (alignment > alignof(std::max_align_t)) {
    if (posix_memalign(&p, alignment, size) != 0) p = nullptr;
  } else {
    p = std::malloc(size);
  }
  if (!p) throw std::bad_alloc();
  return p;
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, std::align_val_t a) { return allocate(size, static_cast<std::size_t>(a)); }
void* operator new[](std::size_t size, std::align_val_t a) { return allocate(size, static_cast<std::size_t>(a)); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

namespace tesselaudio {
namespace {

using platform::MLMultiArray;
using platform::MLMultiArrayDataType;

// Allocations made while `body` runs.
template <class Body>
long allocationsOf(Body&& body) {
  allocations = 0;
  counting = true;
  body();
  counting = false;
  return allocations.load();
}

// [1, frames, 1024] where every frame answers token 17 with one frame of duration, then a blank.
std::shared_ptr<MLMultiArray> tokenPerFrame(int64_t frames) {
  std::vector<double> values(static_cast<size_t>(frames + 1) * 1024, 0.0);
  for (int64_t t = 0; t < frames; ++t) {
    values[static_cast<size_t>(t) * 1024] = 1.3;
    values[static_cast<size_t>(t) * 1024 + 1] = 0.7;
  }
  return testsupport::makeArray({1, frames + 1, 1024}, values);
}

TEST(TdtDecoderAllocationTest, AMainLoopStepAllocatesOnlyWhatItsPredictionsDo) {
  testsupport::TemporaryFolder folder;
  testsupport::ParakeetJointScript script;
  script.tokenIds = {8192, 17};
  script.probabilities = {0.9f, 0.8f};
  const platform::MLModel joint(testsupport::parakeetJoint(script).writeBundle(folder / "joint"));
  const platform::MLModel network(testsupport::parakeetDecoder({}).writeBundle(folder / "decoder"));
  const TdtDecoderV3 decoder(ASRConfig::default_());

  auto decodeWindow = [&](const std::shared_ptr<MLMultiArray>& output) {
    TdtDecoderState state(2);
    const int64_t frames = output->shape()[1];
    return allocationsOf([&] {
      const TdtHypothesis h = decoder.decodeWithTimings(output, frames, frames, network, joint, state, 0, false, 0,
                                                        std::nullopt, nullptr, nullptr, std::nullopt, std::nullopt, {});
      ASSERT_EQ(static_cast<int64_t>(h.ySequence.size()), frames - 1);
    });
  };
  const auto short_ = tokenPerFrame(10);
  const auto long_ = tokenPerFrame(30);
  decodeWindow(long_);  // warm-up
  const long twentyMoreSteps = decodeWindow(long_) - decodeWindow(short_);

  // The same two predictions made directly, with the same kinds of inputs and backings.
  auto encoderStep = ANEMemoryUtils::createAlignedArray({1, 1024, 1}, MLMultiArrayDataType::float32, true);
  auto decoderStep = ANEMemoryUtils::createAlignedArray({1, 640, 1}, MLMultiArrayDataType::float32, true);
  const ReusableJointInputProvider jointInputs(encoderStep, decoderStep);
  platform::MLPredictionOptions jointOptions;
  for (const char* name : {"token_id", "duration"}) {
    jointOptions.outputBackings[name] =
        std::make_shared<MLMultiArray>(std::vector<int64_t>{1, 1, 1}, MLMultiArrayDataType::int32);
  }
  jointOptions.outputBackings["token_prob"] =
      std::make_shared<MLMultiArray>(std::vector<int64_t>{1, 1, 1}, MLMultiArrayDataType::float32);
  TdtDecoderState state(2);
  const platform::MLDictionaryFeatureProvider networkInputs(std::map<std::string, std::shared_ptr<MLMultiArray>>{
      {"targets", testsupport::makeArray({1, 1}, {17}, MLMultiArrayDataType::int32)},
      {"target_length", testsupport::makeArray({1}, {1}, MLMultiArrayDataType::int32)},
      {"h_in", state.hiddenState},
      {"c_in", state.cellState}});
  platform::MLPredictionOptions networkOptions;
  networkOptions.outputBackings = {{"h_out", state.hiddenState}, {"c_out", state.cellState}};
  auto step = [&] {
    joint.prediction(jointInputs, jointOptions);
    network.prediction(networkInputs, networkOptions);
  };
  step();  // warm-up
  const long oneStepsPredictions = allocationsOf(step);

  EXPECT_GT(oneStepsPredictions, 0);
  EXPECT_LE(twentyMoreSteps, 20 * oneStepsPredictions);
}

}  // namespace
}  // namespace tesselaudio
