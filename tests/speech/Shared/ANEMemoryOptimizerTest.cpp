#include "speech/Shared/ANEMemoryOptimizer.h"

#include <deque>
#include <list>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/MultiArrays.h"

namespace tesselaudio {
namespace {

using ANEMemoryUtils::ANEMemoryError;
using platform::MLMultiArray;
using platform::MLMultiArrayDataType;
using testsupport::arrayValues;
using testsupport::makeArray;
using ::testing::ElementsAre;

constexpr auto kFloat32 = MLMultiArrayDataType::float32;

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

std::shared_ptr<MLMultiArray> filled(std::vector<int64_t> shape, double value,
                                     MLMultiArrayDataType type = kFloat32) {
  auto array = std::make_shared<MLMultiArray>(std::move(shape), type);
  for (int64_t i = 0; i < array->count(); ++i) array->set(i, value);
  return array;
}

TEST(ANEMemoryOptimizerTest, AllocationErrorsKeepTheirCaseOrBecomeAllocationFailed) {
  ANEMemoryOptimizer memory;
  auto array = memory.createAlignedArray({2, 5}, kFloat32);
  EXPECT_EQ(array->strides(), (std::vector<int64_t>{16, 1}));
  EXPECT_EQ(arrayValues(*array), std::vector<double>(10, 0));
  EXPECT_EQ(thrownCase([&] { memory.createAlignedArray({-3}, kFloat32); }), ANEMemoryError::Case::invalidShape);
  // The runtime's own refusal of an unknown element type is reported as an allocation failure.
  EXPECT_EQ(thrownCase([&] { memory.createAlignedArray({3}, static_cast<MLMultiArrayDataType>(7)); }),
            ANEMemoryError::Case::allocationFailed);
}

TEST(ANEMemoryOptimizerTest, PoolHandsOutTheSameBufferPerKeyShapeAndType) {
  ANEMemoryOptimizer memory;
  auto first = memory.getPooledBuffer("mask", {1, 5}, kFloat32);
  first->set(0, 3.0);
  auto again = memory.getPooledBuffer("mask", {1, 5}, kFloat32);
  EXPECT_EQ(again, first);
  EXPECT_EQ((*again)[0].doubleValue(), 3.0);  // as its last user left it

  auto otherKey = memory.getPooledBuffer("waveform", {1, 5}, kFloat32);
  EXPECT_NE(otherKey, first);

  auto otherShape = memory.getPooledBuffer("mask", {1, 6}, kFloat32);
  EXPECT_NE(otherShape, first);
  EXPECT_EQ(memory.getPooledBuffer("mask", {1, 6}, kFloat32), otherShape);

  auto otherType = memory.getPooledBuffer("mask", {1, 6}, MLMultiArrayDataType::float16);
  EXPECT_NE(otherType, otherShape);
  EXPECT_EQ(arrayValues(*otherType), std::vector<double>(6, 0));
}

TEST(ANEMemoryOptimizerTest, FailedPoolAllocationLeavesThePoolUnchanged) {
  ANEMemoryOptimizer memory;
  auto kept = memory.getPooledBuffer("k", {4}, kFloat32);
  EXPECT_THROW(memory.getPooledBuffer("k", {-4}, kFloat32), ANEMemoryError);
  EXPECT_THROW(memory.initializePooledBuffer("k", {-4}, kFloat32), ANEMemoryError);
  EXPECT_EQ(memory.getPooledBuffer("k", {4}, kFloat32), kept);
}

TEST(ANEMemoryOptimizerTest, InitializeAndClearReplaceBuffersButLeaveHeldOnesValid) {
  ANEMemoryOptimizer memory;
  auto held = memory.getPooledBuffer("k", {4}, kFloat32);
  held->set(1, 8.0);
  memory.initializePooledBuffer("k", {4}, kFloat32);
  auto fresh = memory.getPooledBuffer("k", {4}, kFloat32);
  EXPECT_NE(fresh, held);
  EXPECT_EQ(arrayValues(*fresh), std::vector<double>(4, 0));

  memory.clearBufferPool();
  EXPECT_NE(memory.getPooledBuffer("k", {4}, kFloat32), fresh);
  held->set(2, 9.0);
  EXPECT_THAT(arrayValues(*held), ElementsAre(0, 8, 9, 0));
}

TEST(ANEMemoryOptimizerTest, ThreadsSharingOneKeyGetOneBuffer) {
  ANEMemoryOptimizer memory;
  constexpr int kThreads = 8;
  std::vector<std::vector<MLMultiArray*>> seen(kThreads);
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&memory, &seen, t] {
        for (int i = 0; i < 200; ++i) {
          seen[t].push_back(memory.getPooledBuffer("shared", {3, 7}, kFloat32).get());
          memory.getPooledBuffer("own" + std::to_string(t), {2}, kFloat32);
        }
      });
    }
  }
  auto pooled = memory.getPooledBuffer("shared", {3, 7}, kFloat32).get();
  for (const auto& pointers : seen) {
    for (MLMultiArray* p : pointers) ASSERT_EQ(p, pooled);
  }
}

TEST(ANEMemoryOptimizerTest, OptimizedCopyWritesWithinTheDestination) {
  struct Case {
    const char* name;
    std::vector<float> source;
    int64_t offset;
    bool pad;
    std::vector<double> expected;  // destination starts as eight -1s
  };
  const Case cases[] = {
      {"longer source is cut", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, 3, false, {-1, -1, -1, 0, 1, 2, 3, 4}},
      {"padding after a short source", {7, 8}, 3, true, {-1, -1, -1, 7, 8, 0, 0, 0}},
      {"short source without padding", {7, 8}, 3, false, {-1, -1, -1, 7, 8, -1, -1, -1}},
      {"offset at the end", {7, 8}, 8, true, std::vector<double>(8, -1)},
      {"offset past the end", {7, 8}, 9, true, std::vector<double>(8, -1)},
      {"negative offset", {7, 8}, -1, true, std::vector<double>(8, -1)},
      {"empty source padded", {}, 6, true, {-1, -1, -1, -1, -1, -1, 0, 0}},
  };
  ANEMemoryOptimizer memory;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto dense = filled({8}, -1);
    memory.optimizedCopy(c.source, *dense, c.offset, c.pad);
    EXPECT_EQ(arrayValues(*dense), c.expected);

    // Any other collection of numbers goes value by value to the same places.
    auto fromList = filled({8}, -1);
    memory.optimizedCopy(std::list<double>(c.source.begin(), c.source.end()), *fromList, c.offset, c.pad);
    EXPECT_EQ(arrayValues(*fromList), c.expected);
  }
}

TEST(ANEMemoryOptimizerTest, OptimizedCopyFillsPaddedRowsByLogicalIndex) {
  ANEMemoryOptimizer memory;
  auto padded = memory.createAlignedArray({2, 5}, kFloat32);
  auto* raw = static_cast<float*>(padded->dataPointer());
  std::fill(raw, raw + 32, -1.0f);
  memory.optimizedCopy(std::vector<float>{1, 2, 3, 4, 5, 6, 7}, *padded, 1, true);
  EXPECT_THAT(arrayValues(*padded), ElementsAre(-1, 1, 2, 3, 4, 5, 6, 7, 0, 0));
  // The padding of the first row is not a place for values.
  EXPECT_EQ(raw[5], -1.0f);
  EXPECT_EQ(raw[15], -1.0f);

  memory.optimizedCopy(std::deque<float>{9, 9}, *padded, 8, false);
  EXPECT_THAT(arrayValues(*padded), ElementsAre(-1, 1, 2, 3, 4, 5, 6, 7, 9, 9));
}

TEST(ANEMemoryOptimizerTest, OptimizedCopyLeavesOtherElementTypesAlone) {
  ANEMemoryOptimizer memory;
  for (auto type : {MLMultiArrayDataType::float16, MLMultiArrayDataType::float64, MLMultiArrayDataType::int32}) {
    SCOPED_TRACE(static_cast<int>(type));
    auto array = filled({4}, 5, type);
    memory.optimizedCopy(std::vector<float>{1, 2}, *array, 0, true);
    EXPECT_EQ(arrayValues(*array), std::vector<double>(4, 5));
  }
}

TEST(ANEMemoryOptimizerTest, ZeroCopyViewsReportBoundsErrors) {
  ANEMemoryOptimizer memory;
  auto source = makeArray({12}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11});
  EXPECT_EQ(thrownCase([&] { memory.createZeroCopyView(*source, {10}, 5); }),
            ANEMemoryError::Case::invalidArrayBounds);
  EXPECT_EQ(thrownCase([&] { memory.createZeroCopyView(*source, {4}, -2); }),
            ANEMemoryError::Case::invalidArrayBounds);
  EXPECT_EQ(thrownCase([&] { memory.createZeroCopyView(*source, {-4}, 0); }),
            ANEMemoryError::Case::invalidArrayBounds);

  auto view = memory.createZeroCopyView(*source, {10}, 2);
  view->set(0, 42.0);
  EXPECT_EQ((*source)[2].doubleValue(), 42.0);
  EXPECT_EQ((*view)[9].doubleValue(), 11.0);
}

}  // namespace
}  // namespace tesselaudio
