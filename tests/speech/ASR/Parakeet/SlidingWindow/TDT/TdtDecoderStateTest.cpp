#include "speech/ASR/Parakeet/SlidingWindow/TDT/TdtDecoderState.h"

#include <cstdint>
#include <limits>
#include <memory>

#include <gtest/gtest.h>

#include "platform/ml/MLDictionaryFeatureProvider.h"
#include "platform/ml/MLFeatureValue.h"
#include "platform/ml/MLMultiArray.h"
#include "speech/Shared/ANEMemoryError.h"
#include "tests/support/MultiArrays.h"

namespace tesselaudio {
namespace {

using platform::MLMultiArray;
using platform::MLMultiArrayDataType;
using testsupport::arrayValues;

// A state whose arrays hold 1, 2, 3, ... (hidden) and -1, -2, -3, ... (cell).
TdtDecoderState numberedState() {
  TdtDecoderState state(2);
  for (int64_t i = 0; i < state.hiddenState->count(); ++i) {
    state.hiddenState->set(i, static_cast<double>(i + 1));
    state.cellState->set(i, -static_cast<double>(i + 1));
  }
  state.lastToken = 42;
  state.timeJump = 3;
  state.predictorOutput = testsupport::makeArray({1, 640, 1}, std::vector<double>(640, 0.5));
  return state;
}

TEST(TdtDecoderStateTest, FreshStateIsZeroedAndEmpty) {
  for (const int64_t layers : {1, 2}) {
    SCOPED_TRACE(layers);
    for (const TdtDecoderState& state : {TdtDecoderState(layers), TdtDecoderState::make(layers)}) {
      for (const auto& array : {state.hiddenState, state.cellState}) {
        ASSERT_TRUE(array);
        EXPECT_EQ(array->dataType(), MLMultiArrayDataType::float32);
        EXPECT_EQ(array->shape(), (std::vector<int64_t>{layers, 1, 640}));
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(array->dataPointer()) % 64, 0u);
        EXPECT_EQ(arrayValues(*array), std::vector<double>(static_cast<size_t>(layers) * 640, 0.0));
      }
      EXPECT_NE(state.hiddenState, state.cellState);
      EXPECT_EQ(state.lastToken, std::nullopt);
      EXPECT_EQ(state.predictorOutput, nullptr);
      EXPECT_EQ(state.timeJump, std::nullopt);
    }
  }
}

TEST(TdtDecoderStateTest, FailedAllocationIsThrownByBothWaysOfMaking) {
  const int64_t layers = std::numeric_limits<int64_t>::max() / 4;
  EXPECT_THROW(TdtDecoderState{layers}, ANEMemoryUtils::ANEMemoryError);
  EXPECT_THROW(TdtDecoderState::make(layers), ANEMemoryUtils::ANEMemoryError);
}

TEST(TdtDecoderStateTest, PlainCopiesShareTheArrays) {
  TdtDecoderState state(2);
  const TdtDecoderState copy = state;
  state.hiddenState->set(0, 7.0);
  EXPECT_EQ((*copy.hiddenState)[0].floatValue(), 7.0f);
}

TEST(TdtDecoderStateTest, DeepCopyIsIndependent) {
  const TdtDecoderState source = numberedState();
  const std::vector<double> hiddenBefore = arrayValues(*source.hiddenState);
  const std::vector<double> cellBefore = arrayValues(*source.cellState);

  TdtDecoderState copy = TdtDecoderState::deepCopy(source);
  EXPECT_EQ(copy.lastToken, 42);
  EXPECT_EQ(copy.timeJump, 3);
  EXPECT_EQ(copy.predictorOutput, nullptr);
  EXPECT_NE(copy.hiddenState, source.hiddenState);
  EXPECT_NE(copy.cellState, source.cellState);
  EXPECT_EQ(copy.hiddenState->shape(), source.hiddenState->shape());
  EXPECT_EQ(arrayValues(*copy.hiddenState), hiddenBefore);
  EXPECT_EQ(arrayValues(*copy.cellState), cellBefore);

  // Advancing either side leaves the other as it was.
  for (int64_t i = 0; i < copy.hiddenState->count(); ++i) {
    copy.hiddenState->set(i, 100.0);
    copy.cellState->set(i, 100.0);
  }
  EXPECT_EQ(arrayValues(*source.hiddenState), hiddenBefore);
  EXPECT_EQ(arrayValues(*source.cellState), cellBefore);
  source.hiddenState->set(0, -5.0);
  EXPECT_EQ((*copy.hiddenState)[0].floatValue(), 100.0f);
}

TEST(TdtDecoderStateTest, UpdateTakesOnlyTheOutputsPresent) {
  TdtDecoderState state = numberedState();
  const auto cellBefore = state.cellState;
  const auto predictorBefore = state.predictorOutput;
  auto hOut = testsupport::makeArray({2, 1, 640}, std::vector<double>(1280, 9.0));

  state.update(platform::MLDictionaryFeatureProvider(
      std::map<std::string, std::shared_ptr<MLMultiArray>>{{"h_out", hOut}}));
  EXPECT_EQ(state.hiddenState, hOut);
  EXPECT_EQ(state.cellState, cellBefore);
  EXPECT_EQ(state.lastToken, 42);
  EXPECT_EQ(state.timeJump, 3);
  EXPECT_EQ(state.predictorOutput, predictorBefore);

  // A value that is not an array leaves its field alone.
  auto cOut = testsupport::makeArray({2, 1, 640}, std::vector<double>(1280, 4.0));
  state.update(platform::MLDictionaryFeatureProvider(platform::MLDictionaryFeatureProvider::Dictionary{
      {"h_out", std::make_shared<const platform::MLFeatureValue>(int64_t{1})},
      {"c_out", std::make_shared<const platform::MLFeatureValue>(cOut)}}));
  EXPECT_EQ(state.hiddenState, hOut);
  EXPECT_EQ(state.cellState, cOut);
}

}  // namespace
}  // namespace tesselaudio
