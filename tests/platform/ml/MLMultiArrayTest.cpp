#include "platform/ml/MLMultiArray.h"

#include <cmath>
#include <cstdlib>
#include <memory>

#include <gtest/gtest.h>

#include "platform/ml/MLModelError.h"

namespace platform {
namespace {

TEST(MLMultiArrayTest, DataTypesKeepThePlatformCodes) {
  EXPECT_EQ(static_cast<int>(MLMultiArrayDataType::float16), 65552);
  EXPECT_EQ(static_cast<int>(MLMultiArrayDataType::float32), 65568);
  EXPECT_EQ(static_cast<int>(MLMultiArrayDataType::float64), 65600);
  EXPECT_EQ(static_cast<int>(MLMultiArrayDataType::int32), 131104);
  EXPECT_EQ(elementSize(MLMultiArrayDataType::float16), 2u);
  EXPECT_EQ(elementSize(MLMultiArrayDataType::float64), 8u);
  EXPECT_EQ(elementSize(MLMultiArrayDataType::int32), 4u);
}

TEST(MLMultiArrayTest, OwnMemoryIsZeroedAndDense) {
  MLMultiArray array({2, 3, 4}, MLMultiArrayDataType::float32);
  EXPECT_EQ(array.count(), 24);
  EXPECT_EQ(array.strides(), (std::vector<int64_t>{12, 4, 1}));
  EXPECT_TRUE(array.isContiguous());
  for (int64_t i = 0; i < array.count(); ++i) EXPECT_EQ(array[i].floatValue(), 0.0f);
}

TEST(MLMultiArrayTest, ElementAccessHonoursPaddedStrides) {
  // Shape (2, 3) with rows padded to 16 elements, as the aligned model buffers are laid out.
  std::vector<float> memory(32, -1.0f);
  MLMultiArray array(memory.data(), {2, 3}, MLMultiArrayDataType::float32, {16, 1});
  for (int64_t i = 0; i < 6; ++i) array.set(i, static_cast<double>(i + 1));
  EXPECT_EQ(memory[0], 1.0f);
  EXPECT_EQ(memory[2], 3.0f);
  EXPECT_EQ(memory[3], -1.0f);
  EXPECT_EQ(memory[16], 4.0f);
  EXPECT_EQ(memory[18], 6.0f);
  EXPECT_EQ((array[std::vector<int64_t>{1, 2}].floatValue()), 6.0f);
  EXPECT_FALSE(array.isContiguous());
  array.set(std::vector<int64_t>{1, 0}, 9);
  EXPECT_EQ(memory[16], 9.0f);
}

TEST(MLMultiArrayTest, Float16ElementsConvertOnAccess) {
  MLMultiArray array({3}, MLMultiArrayDataType::float16);
  array.set(0, 1.5);
  array.set(1, -0.25f);
  array.set(2, 70000.0);
  EXPECT_EQ(static_cast<const uint16_t*>(array.dataPointer())[0], 0x3e00);
  EXPECT_EQ(array[0].doubleValue(), 1.5);
  EXPECT_EQ(array[1].doubleValue(), -0.25);
  EXPECT_TRUE(std::isinf(array[2].doubleValue()));
}

TEST(MLMultiArrayTest, NumbersCrossAsIntegerOrFloating) {
  MLMultiArray ints({2}, MLMultiArrayDataType::int32);
  ints.set(0, 7.9);
  ints.set(1, int64_t{-3});
  EXPECT_EQ(ints[0].intValue(), 7);
  EXPECT_FALSE(ints[0].isFloatingPoint());
  EXPECT_EQ(ints[1].int64Value(), -3);
  MLMultiArray doubles({1}, MLMultiArrayDataType::float64);
  doubles.set(0, 0.1);
  EXPECT_TRUE(doubles[0].isFloatingPoint());
  EXPECT_EQ(doubles[0].doubleValue(), 0.1);
}

TEST(MLMultiArrayTest, CallerMemoryIsHandedToTheDeallocatorOnce) {
  int calls = 0;
  void* seen = nullptr;
  void* memory = std::malloc(64);
  {
    auto array = std::make_shared<MLMultiArray>(memory, std::vector<int64_t>{4}, MLMultiArrayDataType::float32,
                                                std::vector<int64_t>{1}, [&](void* bytes) {
                                                  ++calls;
                                                  seen = bytes;
                                                  std::free(bytes);
                                                });
    EXPECT_EQ(array->dataPointer(), memory);
  }
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(seen, memory);
}

TEST(MLMultiArrayTest, RefusedCallerMemoryIsNotDeallocated) {
  struct Case {
    const char* name;
    bool nullPointer;
    std::vector<int64_t> shape;
    std::vector<int64_t> strides;
  };
  const Case cases[] = {
      {"nullPointer", true, {4}, {1}},
      {"stridesOfAnotherRank", false, {2, 2}, {1}},
      {"negativeDimension", false, {-2}, {1}},
      {"negativeStride", false, {2}, {-1}},
  };
  float memory[8] = {};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int calls = 0;
    try {
      MLMultiArray array(c.nullPointer ? nullptr : memory, c.shape, MLMultiArrayDataType::float32, c.strides,
                         [&](void*) { ++calls; });
      ADD_FAILURE() << "accepted";
    } catch (const MLModelError& e) {
      EXPECT_EQ(e.errorCode(), MLModelError::Code::parameters);
    }
    EXPECT_EQ(calls, 0);
  }
}

TEST(MLMultiArrayTest, OutOfRangeAccessThrows) {
  MLMultiArray array({2, 2}, MLMultiArrayDataType::float32);
  EXPECT_THROW(array[4], MLModelError);
  EXPECT_THROW(array[-1], MLModelError);
  EXPECT_THROW((array[std::vector<int64_t>{0, 2}]), MLModelError);
  EXPECT_THROW((array[std::vector<int64_t>{0}]), MLModelError);
  EXPECT_THROW(MLMultiArray({-1, 2}, MLMultiArrayDataType::float32), MLModelError);
}

TEST(MLMultiArrayTest, ZeroElementArraysExist) {
  MLMultiArray array({3, 0}, MLMultiArrayDataType::float16);
  EXPECT_EQ(array.count(), 0);
  EXPECT_NE(array.dataPointer(), nullptr);
  EXPECT_THROW(array[0], MLModelError);
}

}  // namespace
}  // namespace platform
