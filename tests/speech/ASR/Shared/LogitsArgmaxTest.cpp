#include "speech/ASR/Shared/LogitsArgmax.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/ml/MLMultiArray.h"
#include "platform/sys/InvalidArgumentError.h"
#include "tests/support/MultiArrays.h"

namespace tesselaudio {
namespace {

using platform::MLMultiArrayDataType;

// Batch 0 holds three frames of width 4 with a tie in each of the first two; batch 1 holds other
// values, so that reading the wrong batch shows.
const std::vector<double> kLogits = {
    1, 5, 5, 0,  //
    7, 2, 7, 7,  //
    -3, -1, -2, -8,
    9, 9, 9, 9,  //
    0, 0, 0, 9,  //
    9, 0, 0, 0,
};
const std::vector<int64_t> kShape = {2, 3, 4};

struct Layout {
  const char* name;
  std::vector<int64_t> strides;  // empty for dense memory
};
const Layout kLayouts[] = {
    {"dense", {}},
    {"padded rows", {3 * 7, 7, 1}},
    {"batch last", {1, 8, 2}},
};
const MLMultiArrayDataType kTypes[] = {MLMultiArrayDataType::float32, MLMultiArrayDataType::float16,
                                       MLMultiArrayDataType::float64, MLMultiArrayDataType::int32};

std::shared_ptr<platform::MLMultiArray> logits(const Layout& layout, MLMultiArrayDataType type,
                                               const std::vector<double>& values = kLogits,
                                               const std::vector<int64_t>& shape = kShape) {
  return layout.strides.empty() ? testsupport::makeArray(shape, values, type)
                                : testsupport::makeStridedArray(shape, values, layout.strides, type);
}

TEST(LogitsArgmaxTest, ArgmaxPerFrameReadsEveryTypeAndLayoutAlike) {
  for (const auto& layout : kLayouts) {
    for (const auto type : kTypes) {
      SCOPED_TRACE(std::string(layout.name) + ", type " + std::to_string(static_cast<int>(type)));
      const auto array = logits(layout, type);
      EXPECT_EQ(LogitsArgmax::argmaxPerFrame(*array, 3), (std::vector<int>{1, 0, 1}));
      EXPECT_EQ(LogitsArgmax::argmaxPerFrame(*array, 2), (std::vector<int>{1, 0}));
      EXPECT_EQ(LogitsArgmax::argmaxPerFrame(*array, 0), std::vector<int>{});
      // More frames than the array holds read only those it has.
      EXPECT_EQ(LogitsArgmax::argmaxPerFrame(*array, 50), (std::vector<int>{1, 0, 1}));
    }
  }
}

TEST(LogitsArgmaxTest, WideTypesAreComparedAtTheirOwnPrecision) {
  // As floats both pairs would tie and give id 0.
  const auto ints = testsupport::makeArray({1, 1, 2}, {16777216, 16777217}, MLMultiArrayDataType::int32);
  EXPECT_EQ(LogitsArgmax::argmaxPerFrame(*ints, 1), std::vector<int>{1});
  const auto doubles = testsupport::makeArray({1, 1, 2}, {1.0, 1.0 + 1e-12}, MLMultiArrayDataType::float64);
  EXPECT_EQ(LogitsArgmax::argmaxPerFrame(*doubles, 1), std::vector<int>{1});
}

TEST(LogitsArgmaxTest, LeadingRowsCopyTheFirstRowsOfBatchZero) {
  const std::vector<std::vector<float>> all = {{1, 5, 5, 0}, {7, 2, 7, 7}, {-3, -1, -2, -8}};
  for (const auto& layout : kLayouts) {
    for (const auto type : kTypes) {
      SCOPED_TRACE(std::string(layout.name) + ", type " + std::to_string(static_cast<int>(type)));
      const auto array = logits(layout, type);
      EXPECT_EQ(LogitsArgmax::leadingRows(*array, 2), (std::vector<std::vector<float>>{all[0], all[1]}));
      EXPECT_EQ(LogitsArgmax::leadingRows(*array, 3), all);
      EXPECT_EQ(LogitsArgmax::leadingRows(*array, 7), all);
      EXPECT_TRUE(LogitsArgmax::leadingRows(*array, 0).empty());
      EXPECT_TRUE(LogitsArgmax::leadingRows(*array, -2).empty());
    }
  }
}

TEST(LogitsArgmaxTest, EmptyArraysGiveNothing) {
  const auto noBatch = testsupport::makeArray({0, 3, 4}, {});
  EXPECT_TRUE(LogitsArgmax::argmaxPerFrame(*noBatch, 3).empty());
  EXPECT_TRUE(LogitsArgmax::leadingRows(*noBatch, 3).empty());
  const auto noVocabulary = testsupport::makeArray({1, 2, 0}, {});
  EXPECT_EQ(LogitsArgmax::argmaxPerFrame(*noVocabulary, 2), (std::vector<int>{0, 0}));
  EXPECT_EQ(LogitsArgmax::leadingRows(*noVocabulary, 2), (std::vector<std::vector<float>>{{}, {}}));
}

TEST(LogitsArgmaxTest, RefusesNegativeFramesAndLowRanks) {
  const auto array = testsupport::makeArray(kShape, kLogits);
  try {
    LogitsArgmax::argmaxPerFrame(*array, -1);
    ADD_FAILURE() << "no error";
  } catch (const platform::InvalidArgumentError& error) {
    EXPECT_EQ(error.parameter(), "frames");
  }
  const auto flat = testsupport::makeArray({3, 4}, std::vector<double>(12));
  EXPECT_THROW(LogitsArgmax::argmaxPerFrame(*flat, 1), platform::InvalidArgumentError);
  EXPECT_THROW(LogitsArgmax::leadingRows(*flat, 1), platform::InvalidArgumentError);
}

}  // namespace
}  // namespace tesselaudio
