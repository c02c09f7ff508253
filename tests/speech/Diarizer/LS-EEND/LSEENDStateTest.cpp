#include "speech/Diarizer/LS-EEND/LSEENDState.h"

#include <array>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "speech/Diarizer/LS-EEND/LSEENDMetadata.h"
#include "speech/Shared/ANEMemoryUtils.h"
#include "tests/support/LSEENDModelBuilder.h"
#include "tests/support/MultiArrays.h"

namespace tesselaudio {
namespace {

using platform::MLMultiArray;

std::array<MLMultiArray*, 6> arrays(const LSEENDState& s) {
  return {s.encRetKv.get(), s.encRetScale.get(), s.encConvCache.get(),
          s.cnnWindow.get(), s.decRetKv.get(), s.decRetScale.get()};
}

// Every element of every array, in field order.
std::vector<double> values(const LSEENDState& s) {
  std::vector<double> all;
  for (const auto* array : arrays(s)) {
    const auto v = testsupport::arrayValues(*array);
    all.insert(all.end(), v.begin(), v.end());
  }
  return all;
}

// Writes 1, 2, 3, ... (from `start`) into every element, field after field.
void fillCounting(const LSEENDState& s, double start) {
  for (auto* array : arrays(s)) {
    for (int64_t i = 0; i < array->count(); ++i) array->set(i, start++);
  }
}

bool allZero(const LSEENDState& s) {
  for (double v : values(s)) {
    if (v != 0) return false;
  }
  return true;
}

class LSEENDStateTest : public testing::Test {
 protected:
  LSEENDMetadata metadata_ = LSEENDMetadata::fromJSON(testsupport::LSEENDModelSizes{}.configJSON());
};

TEST_F(LSEENDStateTest, StartsZeroedWithTheMetadataShapes) {
  const LSEENDState state(metadata_);
  EXPECT_EQ(state.encRetKv->shape(), (std::vector<int64_t>{1, 1, 2, 4, 4}));
  EXPECT_EQ(state.encRetScale->shape(), (std::vector<int64_t>{1, 1}));
  EXPECT_EQ(state.encConvCache->shape(), (std::vector<int64_t>{1, 1, 3, 8}));
  EXPECT_EQ(state.cnnWindow->shape(), (std::vector<int64_t>{1, 8, 4}));
  EXPECT_EQ(state.decRetKv->shape(), (std::vector<int64_t>{1, 4, 2, 4, 4}));
  EXPECT_EQ(state.decRetScale->shape(), (std::vector<int64_t>{1, 1}));
  for (const auto* array : arrays(state)) {
    EXPECT_EQ(array->dataType(), platform::MLMultiArrayDataType::float32);
    EXPECT_EQ(array->strides(), ANEMemoryUtils::calculateOptimalStrides(array->shape()));
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(array->dataPointer()) % 64, 0u);
  }
  EXPECT_TRUE(allZero(state));
}

TEST_F(LSEENDStateTest, ResetZeroesTheSameArrays) {
  const LSEENDState state(metadata_);
  const auto before = arrays(state);
  fillCounting(state, 1);
  ASSERT_FALSE(allZero(state));
  state.reset();
  EXPECT_TRUE(allZero(state));
  EXPECT_EQ(arrays(state), before);
}

TEST_F(LSEENDStateTest, CopyIsIndependentOfItsSource) {
  const LSEENDState a(metadata_);
  fillCounting(a, 1);
  const auto snapshot = values(a);
  const LSEENDState b = a.copy();
  EXPECT_EQ(values(b), snapshot);
  for (std::size_t i = 0; i < 6; ++i) EXPECT_NE(arrays(a)[i], arrays(b)[i]);

  fillCounting(a, 1000);
  EXPECT_EQ(values(b), snapshot);

  // A plain copy of the value shares the arrays.
  const LSEENDState shared = a;
  EXPECT_EQ(arrays(shared), arrays(a));
}

TEST_F(LSEENDStateTest, CopyToFillsTheTargetsOwnArrays) {
  const LSEENDState a(metadata_);
  const LSEENDState b(metadata_);
  const auto targets = arrays(b);
  fillCounting(a, 7);
  a.copy(b);
  EXPECT_EQ(values(b), values(a));
  EXPECT_EQ(arrays(b), targets);
  fillCounting(a, 100);
  EXPECT_NE(values(b), values(a));
}

TEST_F(LSEENDStateTest, AdoptsArraysAsTheyAre) {
  auto dense = testsupport::makeArray({1, 1}, {5});
  const LSEENDState own(metadata_);
  const LSEENDState adopted(own.encRetKv, dense, own.encConvCache, own.cnnWindow, own.decRetKv, own.decRetScale);
  EXPECT_EQ(adopted.encRetScale.get(), dense.get());
  EXPECT_EQ(adopted.encRetKv.get(), own.encRetKv.get());
  adopted.reset();
  EXPECT_EQ((*dense)[0].doubleValue(), 0.0);
}

}  // namespace
}  // namespace tesselaudio
