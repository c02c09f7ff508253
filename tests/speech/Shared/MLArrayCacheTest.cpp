#include "speech/Shared/MLArrayCache.h"

#include <cstdint>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "speech/Shared/ANEMemoryError.h"
#include "tests/support/MultiArrays.h"

namespace tesselaudio {
namespace {

using platform::MLMultiArray;
using platform::MLMultiArrayDataType;
using testsupport::arrayValues;

constexpr auto kFloat32 = MLMultiArrayDataType::float32;

class MLArrayCacheTest : public ::testing::Test {
 protected:
  // Gives back `count` new arrays of the shape.
  void returnNew(const std::vector<int64_t>& shape, int count) {
    for (int i = 0; i < count; ++i) cache_.returnArray(std::make_shared<MLMultiArray>(shape, kFloat32));
  }

  MLArrayCache cache_;
};

TEST_F(MLArrayCacheTest, GivesBackTheSameArrayWithItsContents) {
  auto array = cache_.getArray({2, 5}, kFloat32);
  EXPECT_EQ(array->strides(), (std::vector<int64_t>{16, 1}));
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(array->dataPointer()) % 64, 0u);
  EXPECT_EQ(arrayValues(*array), std::vector<double>(10, 0));
  array->set(3, 7.5);
  cache_.returnArray(array);

  auto again = cache_.getArray({2, 5}, kFloat32);
  EXPECT_EQ(again, array);
  EXPECT_EQ((*again)[3].doubleValue(), 7.5);
  EXPECT_NE(cache_.getArray({2, 5}, kFloat32), array);  // the list is empty again
}

TEST_F(MLArrayCacheTest, HandsOutLastInFirstOutPerShapeAndType) {
  auto first = std::make_shared<MLMultiArray>(std::vector<int64_t>{4}, kFloat32);
  auto second = std::make_shared<MLMultiArray>(std::vector<int64_t>{4}, kFloat32);
  auto otherType = std::make_shared<MLMultiArray>(std::vector<int64_t>{4}, MLMultiArrayDataType::int32);
  cache_.returnArray(first);
  cache_.returnArray(second);
  cache_.returnArray(otherType);
  EXPECT_EQ(cache_.getArray({4}, kFloat32), second);
  EXPECT_EQ(cache_.getArray({4}, kFloat32), first);
  EXPECT_EQ(cache_.getArray({4}, MLMultiArrayDataType::int32), otherType);
  EXPECT_EQ(cache_.count({4}, kFloat32), 0u);
}

TEST_F(MLArrayCacheTest, KeysShareABudgetOfOneHundred) {
  returnNew({1}, 101);
  EXPECT_EQ(cache_.count({1}, kFloat32), 100u);

  MLArrayCache four;
  for (int64_t key = 1; key <= 4; ++key) four.returnArray(std::make_shared<MLMultiArray>(std::vector<int64_t>{key}, kFloat32));
  for (int i = 0; i < 30; ++i) four.returnArray(std::make_shared<MLMultiArray>(std::vector<int64_t>{2}, kFloat32));
  EXPECT_EQ(four.count({2}, kFloat32), 25u);
  EXPECT_EQ(four.count({3}, kFloat32), 1u);
}

TEST_F(MLArrayCacheTest, ListsLongerThanALaterLimitKeepTheirArrays) {
  returnNew({1}, 60);
  returnNew({2}, 60);  // two keys: 50 each
  EXPECT_EQ(cache_.count({1}, kFloat32), 60u);
  EXPECT_EQ(cache_.count({2}, kFloat32), 50u);
}

TEST_F(MLArrayCacheTest, ArrayGivenBackTwiceIsHeldOnce) {
  auto array = cache_.getArray({3}, kFloat32);
  cache_.returnArray(array);
  cache_.returnArray(array);
  EXPECT_EQ(cache_.count({3}, kFloat32), 1u);
  EXPECT_EQ(cache_.getArray({3}, kFloat32), array);
  EXPECT_NE(cache_.getArray({3}, kFloat32), array);
}

TEST_F(MLArrayCacheTest, PrewarmSharesTheBudgetBetweenPairs) {
  struct Case {
    int pairs;
    size_t perKey;
  };
  const Case cases[] = {{1, 5}, {2, 5}, {20, 5}, {30, 3}, {40, 2}, {50, 2}, {51, 1}, {100, 1}, {101, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pairs);
    MLArrayCache cache;
    std::vector<MLArrayCache::ShapeAndType> shapes;
    for (int i = 0; i < c.pairs; ++i) shapes.push_back({{1, i + 1}, kFloat32});
    cache.prewarm(shapes);
    for (const auto& pair : shapes) ASSERT_EQ(cache.count(pair.shape, pair.dataType), c.perKey);
    auto array = cache.getArray({1, 1}, kFloat32);
    EXPECT_EQ(arrayValues(*array), std::vector<double>(1, 0));
  }
}

TEST_F(MLArrayCacheTest, OverfullPrewarmDropsEveryLaterReturn) {
  std::vector<MLArrayCache::ShapeAndType> shapes;
  for (int i = 0; i < 101; ++i) shapes.push_back({{i + 1}, kFloat32});
  cache_.prewarm(shapes);
  auto array = cache_.getArray({1}, kFloat32);
  cache_.returnArray(array);
  EXPECT_EQ(cache_.count({1}, kFloat32), 0u);
  EXPECT_NE(cache_.getArray({1}, kFloat32), array);
}

TEST_F(MLArrayCacheTest, PrewarmReplacesListsAndSkipsPairsThatCannotBeAllocated) {
  auto old = std::make_shared<MLMultiArray>(std::vector<int64_t>{2}, kFloat32);
  cache_.returnArray(old);
  auto kept = std::make_shared<MLMultiArray>(std::vector<int64_t>{5}, kFloat32);
  cache_.returnArray(kept);

  // Three pairs: 5 arrays each, except the one that cannot be allocated.
  EXPECT_NO_THROW(cache_.prewarm({{{2}, kFloat32}, {{-1}, kFloat32}, {{3}, kFloat32}}));
  EXPECT_EQ(cache_.count({2}, kFloat32), 5u);
  EXPECT_EQ(cache_.count({3}, kFloat32), 5u);
  EXPECT_EQ(cache_.count({-1}, kFloat32), 0u);
  for (int i = 0; i < 5; ++i) EXPECT_NE(cache_.getArray({2}, kFloat32), old);
  EXPECT_EQ(cache_.getArray({5}, kFloat32), kept);

  // A failing pair leaves an existing list as it was.
  cache_.returnArray(kept);
  const int64_t huge = int64_t{1} << 40;
  cache_.prewarm({{{5}, kFloat32}, {{huge, huge}, kFloat32}});
  EXPECT_EQ(cache_.count({5}, kFloat32), 5u);
}

TEST_F(MLArrayCacheTest, ClearDropsEveryArrayOnHand) {
  auto array = cache_.getArray({3}, kFloat32);
  cache_.returnArray(array);
  cache_.prewarm({{{4}, kFloat32}});
  cache_.clear();
  EXPECT_EQ(cache_.count({3}, kFloat32), 0u);
  EXPECT_EQ(cache_.count({4}, kFloat32), 0u);
  EXPECT_NE(cache_.getArray({3}, kFloat32), array);
}

TEST_F(MLArrayCacheTest, AllocationErrorsReachTheCaller) {
  EXPECT_THROW(cache_.getArray({-2}, kFloat32), ANEMemoryUtils::ANEMemoryError);
}

TEST_F(MLArrayCacheTest, ConcurrentCallersNeverShareAnArray) {
  std::mutex mutex;
  std::set<MLMultiArray*> inUse;
  bool shared = false;
  constexpr int kThreads = 8;
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < 500; ++i) {
          auto array = cache_.getArray({2, 3}, kFloat32);
          {
            std::scoped_lock lock(mutex);
            if (!inUse.insert(array.get()).second) shared = true;
          }
          array->set(0, t);
          {
            std::scoped_lock lock(mutex);
            inUse.erase(array.get());
          }
          cache_.returnArray(array);
        }
      });
    }
  }
  EXPECT_FALSE(shared);
  EXPECT_LE(cache_.count({2, 3}, kFloat32), static_cast<size_t>(kThreads));
}

TEST_F(MLArrayCacheTest, SharedCacheIsOneInstance) {
  EXPECT_EQ(&sharedMLArrayCache(), &sharedMLArrayCache());
  auto array = sharedMLArrayCache().getArray({1, 240}, kFloat32);
  sharedMLArrayCache().returnArray(array);
  EXPECT_EQ(sharedMLArrayCache().getArray({1, 240}, kFloat32), array);
}

}  // namespace
}  // namespace tesselaudio
