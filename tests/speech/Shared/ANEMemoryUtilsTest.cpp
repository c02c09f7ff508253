#include "speech/Shared/ANEMemoryUtils.h"

#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/ml/Float16.h"
#include "platform/ml/MLModelError.h"
#include "tests/support/MultiArrays.h"

namespace tesselaudio {
namespace {

using ANEMemoryUtils::ANEMemoryError;
using platform::MLMultiArray;
using platform::MLMultiArrayDataType;
using testsupport::arrayValues;
using testsupport::makeArray;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

constexpr auto kFloat32 = MLMultiArrayDataType::float32;

bool isAligned(const MLMultiArray& array) {
  return reinterpret_cast<std::uintptr_t>(array.dataPointer()) % ANEMemoryUtils::aneAlignment == 0;
}

// Runs `body` and returns the ANEMemoryError case it throws; fails the test when it throws nothing.
template <typename Body>
ANEMemoryError::Case thrownCase(Body body) {
  try {
    body();
  } catch (const ANEMemoryError& error) {
    return error.errorCase();
  }
  ADD_FAILURE() << "no ANEMemoryError thrown";
  return ANEMemoryError::Case::allocationFailed;
}

// 0, 1, 2, ... in row-major order.
std::vector<double> ramp(int64_t count, double start = 0) {
  std::vector<double> values;
  for (int64_t i = 0; i < count; ++i) values.push_back(start + static_cast<double>(i));
  return values;
}

void fillRamp(MLMultiArray& array, double start) {
  for (int64_t i = 0; i < array.count(); ++i) array.set(i, start + static_cast<double>(i));
}

TEST(ANEMemoryUtilsTest, ErrorDescriptionsAreExact) {
  struct Case {
    ANEMemoryError error;
    const char* description;
  };
  const Case cases[] = {
      {ANEMemoryError::allocationFailed(), "Failed to allocate ANE-aligned memory."},
      {ANEMemoryError::invalidShape(), "Invalid shape for ANE-aligned array."},
      {ANEMemoryError::unsupportedDataType(), "Unsupported MLMultiArray data type for ANE memory operation."},
      {ANEMemoryError::invalidArrayBounds(), "Array bounds exceeded for zero-copy view."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.description);
    EXPECT_STREQ(c.error.what(), c.description);
    EXPECT_EQ(c.error.domain(), ANEMemoryError::kDomain);
    EXPECT_EQ(c.error, c.error);
  }
  EXPECT_FALSE(ANEMemoryError::invalidShape() == ANEMemoryError::invalidArrayBounds());
}

TEST(ANEMemoryUtilsTest, PaddedStridesRoundTheInnermostRowUpToSixteen) {
  struct Case {
    const char* name;
    std::vector<int64_t> shape;
    std::vector<int64_t> strides;
  };
  const Case cases[] = {
      {"three dimensions", {2, 3, 20}, {96, 32, 1}},
      {"row already a multiple", {5, 32}, {32, 1}},
      {"one dimension", {7}, {1}},
      {"empty shape", {}, {}},
      {"short rows", {1, 1, 5}, {16, 16, 1}},
      {"zero-length rows stay zero", {3, 0}, {0, 1}},
      {"zero outer dimension", {0, 4, 17}, {128, 32, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ANEMemoryUtils::calculateOptimalStrides(c.shape), c.strides);
  }
}

TEST(ANEMemoryUtilsTest, AlignedArraysCoverTheirRoundedAllocation) {
  struct Case {
    const char* name;
    std::vector<int64_t> shape;
    MLMultiArrayDataType type;
    std::vector<int64_t> strides;
    size_t allocatedBytes;
  };
  const Case cases[] = {
      {"short float32 rows", {1, 1, 5}, kFloat32, {16, 16, 1}, 64},
      {"float16 rounds 32 bytes up", {1, 1, 5}, MLMultiArrayDataType::float16, {16, 16, 1}, 64},
      {"double already a multiple", {4, 64}, MLMultiArrayDataType::float64, {64, 1}, 2048},
      {"int32 padded rows", {3, 17}, MLMultiArrayDataType::int32, {32, 1}, 384},
      {"empty shape takes the minimum", {}, kFloat32, {}, 64},
      {"zero dimension takes the minimum", {0, 8}, kFloat32, {16, 1}, 64},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto array = ANEMemoryUtils::createAlignedArray(c.shape, c.type, true);
    EXPECT_EQ(array->shape(), c.shape);
    EXPECT_EQ(array->strides(), c.strides);
    EXPECT_EQ(array->dataType(), c.type);
    EXPECT_TRUE(isAligned(*array));
    // Every byte of the rounded allocation is there (the address sanitizer checks) and zeroed.
    const auto* bytes = static_cast<const unsigned char*>(array->dataPointer());
    size_t nonZero = 0;
    for (size_t i = 0; i < c.allocatedBytes; ++i) nonZero += bytes[i] != 0;
    EXPECT_EQ(nonZero, 0u);
  }
}

TEST(ANEMemoryUtilsTest, AlignedAllocationRefusesBadShapes) {
  EXPECT_EQ(thrownCase([] { ANEMemoryUtils::createAlignedArray({2, -1}, kFloat32, true); }),
            ANEMemoryError::Case::invalidShape);
  const int64_t huge = int64_t{1} << 40;
  EXPECT_EQ(thrownCase([&] { ANEMemoryUtils::createAlignedArray({huge, huge}, kFloat32, false); }),
            ANEMemoryError::Case::allocationFailed);
}

TEST(ANEMemoryUtilsTest, RefusedWrappingFreesTheMemoryAndPassesTheRuntimeError) {
  // The runtime refuses an unknown element type after the memory is allocated; the leak checker
  // of the sanitizer build sees whether it was freed.
  EXPECT_THROW(ANEMemoryUtils::createAlignedArray({4}, static_cast<MLMultiArrayDataType>(12345), true),
               platform::MLModelError);
}

TEST(ANEMemoryUtilsTest, StrideAwareCopyKeepsLogicalContents) {
  struct Case {
    const char* name;
    std::shared_ptr<MLMultiArray> from;
    std::shared_ptr<MLMultiArray> to;
  };
  const std::vector<int64_t> shape{2, 3, 5};
  auto alignedFrom = ANEMemoryUtils::createAlignedArray(shape, kFloat32, true);
  fillRamp(*alignedFrom, 1);
  Case cases[] = {
      {"equal padded strides", alignedFrom, ANEMemoryUtils::createAlignedArray(shape, kFloat32, true)},
      {"dense into padded", makeArray(shape, ramp(30, 1)), ANEMemoryUtils::createAlignedArray(shape, kFloat32, true)},
      {"padded into dense", alignedFrom, makeArray(shape, std::vector<double>(30, 0))},
      {"one dimension", makeArray({7}, ramp(7, 1)), ANEMemoryUtils::createAlignedArray({7}, kFloat32, true)},
      {"float16 rows", makeArray({2, 3}, ramp(6, 1), MLMultiArrayDataType::float16),
       ANEMemoryUtils::createAlignedArray({2, 3}, MLMultiArrayDataType::float16, true)},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    ANEMemoryUtils::strideAwareCopy(*c.from, *c.to);
    EXPECT_EQ(arrayValues(*c.to), arrayValues(*c.from));
  }
}

TEST(ANEMemoryUtilsTest, StrideAwareCopyLeavesDestinationPaddingAlone) {
  auto from = makeArray({2, 3}, ramp(6, 1));
  auto to = ANEMemoryUtils::createAlignedArray({2, 3}, kFloat32, true);
  auto* raw = static_cast<float*>(to->dataPointer());
  std::fill(raw, raw + 32, -7.0f);
  ANEMemoryUtils::strideAwareCopy(*from, *to);
  EXPECT_THAT(std::vector<float>(raw, raw + 32),
              ElementsAreArray({1.f, 2.f, 3.f, -7.f, -7.f, -7.f, -7.f, -7.f, -7.f, -7.f, -7.f, -7.f, -7.f, -7.f, -7.f,
                                -7.f, 4.f, 5.f, 6.f, -7.f, -7.f, -7.f, -7.f, -7.f, -7.f, -7.f, -7.f, -7.f, -7.f, -7.f,
                                -7.f, -7.f}));
}

TEST(ANEMemoryUtilsTest, EqualStridesStayInsideTightCallerBuffers) {
  // Rows of 5 with a stride of 16: the last row ends 11 elements before stride(0) x d0.
  std::vector<float> fromMemory(21, 3.0f);
  std::vector<float> toMemory(21, 0.0f);
  MLMultiArray from(fromMemory.data(), {2, 5}, kFloat32, {16, 1});
  MLMultiArray to(toMemory.data(), {2, 5}, kFloat32, {16, 1});
  ANEMemoryUtils::strideAwareCopy(from, to);
  EXPECT_EQ(arrayValues(to), std::vector<double>(10, 3.0));
}

TEST(ANEMemoryUtilsTest, StrideAwareCopyRefusesMismatchesAndCopiesNothing) {
  struct Case {
    const char* name;
    std::shared_ptr<MLMultiArray> from;
    ANEMemoryError::Case error;
  };
  std::vector<float> strided(12, 9.0f);
  auto stridedArray = std::make_shared<MLMultiArray>(strided.data(), std::vector<int64_t>{2, 3}, kFloat32,
                                                     std::vector<int64_t>{6, 2});
  const Case cases[] = {
      {"other shape", makeArray({3, 2}, ramp(6, 1)), ANEMemoryError::Case::invalidShape},
      {"other rank", makeArray({6}, ramp(6, 1)), ANEMemoryError::Case::invalidShape},
      {"other data type", makeArray({2, 3}, ramp(6, 1), MLMultiArrayDataType::float64),
       ANEMemoryError::Case::unsupportedDataType},
      {"innermost stride not 1", stridedArray, ANEMemoryError::Case::invalidShape},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto to = makeArray({2, 3}, std::vector<double>(6, 0));
    EXPECT_EQ(thrownCase([&] { ANEMemoryUtils::strideAwareCopy(*c.from, *to); }), c.error);
    EXPECT_EQ(arrayValues(*to), std::vector<double>(6, 0));
  }
}

TEST(ANEMemoryUtilsTest, StrideAwareCopyOfEmptyShapesCopiesNothing) {
  auto scalar = makeArray({}, {5});
  auto other = makeArray({3}, {0, 0, 0});
  EXPECT_NO_THROW(ANEMemoryUtils::strideAwareCopy(*scalar, *other));
  EXPECT_EQ(arrayValues(*other), std::vector<double>(3, 0));
  auto empty = ANEMemoryUtils::createAlignedArray({2, 0, 3}, kFloat32, true);
  auto emptyDense = std::make_shared<MLMultiArray>(std::vector<int64_t>{2, 0, 3}, kFloat32);
  EXPECT_NO_THROW(ANEMemoryUtils::strideAwareCopy(*emptyDense, *empty));
}

TEST(ANEMemoryUtilsTest, ZeroCopyViewsStayInsideTheSource) {
  struct Case {
    const char* name;
    int64_t offset;
    std::vector<int64_t> shape;
    std::optional<std::vector<int64_t>> strides;
    bool fits;
  };
  const Case cases[] = {
      {"reaching past the end", 5, {10}, std::nullopt, false},
      {"ending at the end", 2, {10}, std::nullopt, true},
      {"negative offset", -1, {4}, std::nullopt, false},
      {"offset beyond the source", 13, {0}, std::nullopt, false},
      {"offset that overflows", std::numeric_limits<int64_t>::max(), {2}, std::nullopt, false},
      {"padded rows need 32 elements", 0, {2, 5}, std::nullopt, false},
      {"given strides inside", 0, {2, 5}, std::vector<int64_t>{6, 1}, true},
      {"given strides reaching past stride(0) x d0", 0, {2, 3}, std::vector<int64_t>{1, 6}, false},
      {"negative dimension", 0, {-2}, std::nullopt, false},
      {"strides of another rank", 0, {2, 3}, std::vector<int64_t>{1}, false},
      {"negative stride", 0, {2}, std::vector<int64_t>{-1}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto source = makeArray({12}, ramp(12));
    if (c.fits) {
      auto view = ANEMemoryUtils::createZeroCopyView(*source, c.offset, c.shape, c.strides);
      EXPECT_EQ(view->shape(), c.shape);
      EXPECT_EQ(view->dataPointer(), static_cast<float*>(source->dataPointer()) + c.offset);
    } else {
      EXPECT_EQ(thrownCase([&] { ANEMemoryUtils::createZeroCopyView(*source, c.offset, c.shape, c.strides); }),
                ANEMemoryError::Case::invalidShape);
    }
  }
}

TEST(ANEMemoryUtilsTest, ZeroCopyViewSharesMemoryAndOwnsNothing) {
  auto source = makeArray({12}, ramp(12));
  {
    auto view = ANEMemoryUtils::createZeroCopyView(*source, 2, {10});
    EXPECT_EQ(view->dataType(), kFloat32);
    EXPECT_EQ((*view)[0].doubleValue(), 2.0);
    view->set(3, 100.0);
    source->set(11, -1.0);
    EXPECT_EQ((*source)[5].doubleValue(), 100.0);
    EXPECT_EQ((*view)[9].doubleValue(), -1.0);
  }
  // The view is gone; the source's memory is still its own.
  EXPECT_EQ((*source)[5].doubleValue(), 100.0);
}

TEST(ANEMemoryUtilsTest, ZeroCopyViewOfPaddedSourceUsesItsWholeAllocation) {
  auto source = ANEMemoryUtils::createAlignedArray({2, 5}, kFloat32, true);  // 32 elements
  auto view = ANEMemoryUtils::createZeroCopyView(*source, 16, {16});
  view->set(15, 4.0);
  EXPECT_EQ(static_cast<float*>(source->dataPointer())[31], 4.0f);
  EXPECT_EQ(thrownCase([&] { ANEMemoryUtils::createZeroCopyView(*source, 17, {16}); }),
            ANEMemoryError::Case::invalidShape);
}

TEST(ANEMemoryUtilsTest, Float16ConversionPlacesEveryElementByLogicalPosition) {
  struct Case {
    const char* name;
    std::shared_ptr<MLMultiArray> source;
  };
  auto padded = ANEMemoryUtils::createAlignedArray({2, 5}, kFloat32, true);
  fillRamp(*padded, 0.5);
  std::vector<float> transposedMemory{1, 4, 2, 5, 3, 6};
  auto transposed = std::make_shared<MLMultiArray>(transposedMemory.data(), std::vector<int64_t>{2, 3}, kFloat32,
                                                   std::vector<int64_t>{1, 2});
  const Case cases[] = {
      {"dense rows of sixteen", makeArray({2, 16}, ramp(32, -3))},
      {"dense short rows", makeArray({2, 3}, ramp(6, 1))},
      {"padded source", padded},
      {"transposed source", transposed},
      {"one dimension", makeArray({20}, ramp(20, 0.25))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto half = ANEMemoryUtils::convertToFloat16(*c.source);
    EXPECT_EQ(half->dataType(), MLMultiArrayDataType::float16);
    EXPECT_EQ(half->shape(), c.source->shape());
    EXPECT_EQ(half->strides(), ANEMemoryUtils::calculateOptimalStrides(c.source->shape()));
    EXPECT_TRUE(isAligned(*half));
    EXPECT_EQ(arrayValues(*half), arrayValues(*c.source));
  }
}

TEST(ANEMemoryUtilsTest, Float16ConversionRefusesOtherTypes) {
  for (auto type : {MLMultiArrayDataType::float16, MLMultiArrayDataType::float64, MLMultiArrayDataType::int32}) {
    SCOPED_TRACE(static_cast<int>(type));
    auto array = makeArray({2}, {1, 2}, type);
    EXPECT_EQ(thrownCase([&] { ANEMemoryUtils::convertToFloat16(*array); }),
              ANEMemoryError::Case::unsupportedDataType);
  }
}

}  // namespace
}  // namespace tesselaudio
