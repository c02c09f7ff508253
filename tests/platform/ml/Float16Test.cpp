#include "platform/ml/Float16.h"

#include <bit>
#include <cmath>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

namespace platform {
namespace {

struct Case {
  const char* name;
  float value;
  uint16_t bits;
};

TEST(Float16Test, ConvertsKnownValuesBothWays) {
  const Case cases[] = {
      {"zero", 0.0f, 0x0000},
      {"negativeZero", -0.0f, 0x8000},
      {"one", 1.0f, 0x3c00},
      {"minusTwo", -2.0f, 0xc000},
      {"largest", 65504.0f, 0x7bff},
      {"smallestNormal", 6.103515625e-05f, 0x0400},
      {"smallestSubnormal", 5.9604644775390625e-08f, 0x0001},
      {"largestSubnormal", 6.097555160522461e-05f, 0x03ff},
      {"infinity", std::numeric_limits<float>::infinity(), 0x7c00},
      {"minusInfinity", -std::numeric_limits<float>::infinity(), 0xfc00},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(float16FromFloat(c.value), c.bits);
    EXPECT_EQ(std::bit_cast<uint32_t>(floatFromFloat16(c.bits)), std::bit_cast<uint32_t>(c.value));
  }
}

TEST(Float16Test, RoundsToNearestEvenAndSaturatesToInfinity) {
  const Case cases[] = {
      // 1 + 2^-11 lies halfway between 1 and the next half; ties go to the even mantissa (1).
      {"tieToEvenDown", 1.00048828125f, 0x3c00},
      // 1 + 3 * 2^-11 lies halfway between odd 0x3c01 and even 0x3c02.
      {"tieToEvenUp", 1.00146484375f, 0x3c02},
      {"justAboveHalfway", 1.0005f, 0x3c01},
      {"roundsUpToInfinity", 65520.0f, 0x7c00},
      {"staysFinite", 65519.0f, 0x7bff},
      {"beyondRange", 1e6f, 0x7c00},
      {"underflowsToZero", 1e-9f, 0x0000},
      {"halfOfSmallestSubnormalTiesToZero", 2.98023223876953125e-08f, 0x0000},
      {"subnormalRounding", 8.940696716308594e-08f, 0x0002},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(float16FromFloat(c.value), c.bits);
  }
}

TEST(Float16Test, KeepsNaN) {
  EXPECT_TRUE(std::isnan(floatFromFloat16(float16FromFloat(std::numeric_limits<float>::quiet_NaN()))));
  EXPECT_TRUE(std::isnan(floatFromFloat16(0x7e00)));
}

TEST(Float16Test, EveryHalfValueSurvivesTheRoundTrip) {
  for (uint32_t bits = 0; bits <= 0xffff; ++bits) {
    const auto half = static_cast<uint16_t>(bits);
    const float value = floatFromFloat16(half);
    if (std::isnan(value)) continue;
    ASSERT_EQ(float16FromFloat(value), half) << "bits " << bits;
  }
}

TEST(Float16Test, ArrayConversionMatchesSingleValuesBitForBit) {
  std::vector<uint16_t> halves(0x10000);
  for (uint32_t bits = 0; bits <= 0xffff; ++bits) halves[bits] = static_cast<uint16_t>(bits);
  std::vector<float> floats(halves.size());
  convertFloat16ToFloat(halves.data(), floats.data(), halves.size());
  for (uint32_t bits = 0; bits <= 0xffff; ++bits) {
    ASSERT_EQ(std::bit_cast<uint32_t>(floats[bits]), std::bit_cast<uint32_t>(floatFromFloat16(halves[bits])))
        << "bits " << bits;
  }
}

TEST(Float16Test, ConvertsArrays) {
  const float values[] = {0.5f, -3.25f, 1024.0f};
  uint16_t halves[3];
  float back[3];
  convertFloatToFloat16(values, halves, 3);
  convertFloat16ToFloat(halves, back, 3);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(back[i], values[i]);
}

}  // namespace
}  // namespace platform
