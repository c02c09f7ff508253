#include "speech/Shared/MLMultiArrayExtensions.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/ml/Float16.h"
#include "speech/Shared/ANEMemoryUtils.h"
#include "tests/support/MultiArrays.h"

namespace tesselaudio {
namespace {

using platform::MLMultiArray;
using platform::MLMultiArrayDataType;
using platform::NSNumber;
using testsupport::arrayValues;
using testsupport::makeArray;
using ::testing::ElementsAre;

constexpr auto kFloat32 = MLMultiArrayDataType::float32;
constexpr auto kFloat16 = MLMultiArrayDataType::float16;

TEST(MLMultiArrayExtensionsTest, ResetSetsEveryLogicalElement) {
  struct Case {
    const char* name;
    std::vector<int64_t> shape;
    MLMultiArrayDataType type;
    bool padded;
    NSNumber value;
    double expected;
  };
  const Case cases[] = {
      {"dense float32 to zero", {2, 3}, kFloat32, false, 0, 0},
      {"dense float32", {2, 3}, kFloat32, false, 2.5, 2.5},
      {"dense int32 from a fraction", {4}, MLMultiArrayDataType::int32, false, 7.9, 7},
      {"dense double", {3}, MLMultiArrayDataType::float64, false, -1.25, -1.25},
      {"dense float16 to zero", {2, 16}, kFloat16, false, 0, 0},
      {"dense float16", {2, 16}, kFloat16, false, 1.5, 1.5},
      {"padded float32 to zero", {2, 3}, kFloat32, true, 0.0, 0},
      {"padded float16", {2, 3}, kFloat16, true, 1.5, 1.5},
      {"padded int32", {3, 5}, MLMultiArrayDataType::int32, true, 4, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto array = c.padded ? ANEMemoryUtils::createAlignedArray(c.shape, c.type, false)
                          : std::make_shared<MLMultiArray>(c.shape, c.type);
    for (int64_t i = 0; i < array->count(); ++i) array->set(i, 9);
    resetData(*array, c.value);
    EXPECT_EQ(arrayValues(*array), std::vector<double>(static_cast<size_t>(array->count()), c.expected));
  }
}

TEST(MLMultiArrayExtensionsTest, ResetOfPaddedRowsLeavesThePadding) {
  auto array = ANEMemoryUtils::createAlignedArray({2, 3}, kFloat32, false);
  auto* raw = static_cast<float*>(array->dataPointer());
  std::fill(raw, raw + 32, -1.0f);
  resetData(*array, 0);
  EXPECT_THAT(std::vector<float>(raw, raw + 5), ElementsAre(0, 0, 0, -1, -1));
  EXPECT_THAT(std::vector<float>(raw + 16, raw + 21), ElementsAre(0, 0, 0, -1, -1));
}

TEST(MLMultiArrayExtensionsTest, ResetOfDenseFloat16ClearsOrWritesHalfValues) {
  // Caller memory exactly as long as the array: the address sanitizer sees any overrun.
  std::vector<uint16_t> memory(6, platform::float16FromFloat(9));
  MLMultiArray array(memory.data(), {2, 3}, kFloat16, {3, 1});
  resetData(array, 0);
  EXPECT_EQ(memory, std::vector<uint16_t>(6, 0));
  resetData(array, 1.5);
  EXPECT_EQ(memory, std::vector<uint16_t>(6, platform::float16FromFloat(1.5f)));
}

TEST(MLMultiArrayExtensionsTest, CopyKeepsLogicalContents) {
  struct Case {
    const char* name;
    std::shared_ptr<MLMultiArray> from;
    std::shared_ptr<MLMultiArray> to;
  };
  auto padded = ANEMemoryUtils::createAlignedArray({2, 3}, kFloat32, true);
  for (int64_t i = 0; i < 6; ++i) padded->set(i, 10 + i);
  const Case cases[] = {
      {"same layout", makeArray({2, 3}, {1, 2, 3, 4, 5, 6}), makeArray({2, 3}, std::vector<double>(6, 0))},
      {"dense into padded", makeArray({2, 3}, {1, 2, 3, 4, 5, 6}),
       ANEMemoryUtils::createAlignedArray({2, 3}, kFloat32, true)},
      {"padded into dense", padded, makeArray({2, 3}, std::vector<double>(6, 0))},
      {"int32 into float32", makeArray({2, 3}, {1, 2, 3, 4, 5, 6}, MLMultiArrayDataType::int32),
       makeArray({2, 3}, std::vector<double>(6, 0))},
      {"float32 into float16", makeArray({2, 3}, {0.5, 1, 1.5, 2, 2.5, 3}),
       ANEMemoryUtils::createAlignedArray({2, 3}, kFloat16, true)},
      {"other shape, same count", makeArray({6}, {1, 2, 3, 4, 5, 6}), makeArray({3, 2}, std::vector<double>(6, 0))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    copyData(*c.to, *c.from);
    EXPECT_EQ(arrayValues(*c.to), arrayValues(*c.from));
  }
}

TEST(MLMultiArrayExtensionsTest, CopyFromSmallerSourceStopsAtItsEnd) {
  std::vector<float> source{1, 2, 3};
  MLMultiArray from(source.data(), {3}, kFloat32, {1});
  auto to = makeArray({5}, {9, 9, 9, 9, 9});
  copyData(*to, from);
  EXPECT_THAT(arrayValues(*to), ElementsAre(1, 2, 3, 9, 9));
}

TEST(MLMultiArrayExtensionsTest, PrefetchReadsWithinBounds) {
  auto padded = ANEMemoryUtils::createAlignedArray({3, 5}, kFloat32, true);
  EXPECT_NO_THROW(prefetchToNeuralEngine(*padded));
  std::vector<float> tight(37);  // the last element of rows 0..2 at stride 16 is element 36
  MLMultiArray strided(tight.data(), {3, 5}, kFloat32, {16, 1});
  EXPECT_NO_THROW(prefetchToNeuralEngine(strided));
  EXPECT_NO_THROW(prefetchToNeuralEngine(*ANEMemoryUtils::createAlignedArray({0, 4}, kFloat32, true)));
}

}  // namespace
}  // namespace tesselaudio
