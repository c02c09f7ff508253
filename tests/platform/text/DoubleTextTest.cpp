#include "platform/text/DoubleText.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

namespace platform::text {
namespace {

TEST(DoubleTextTest, WritesShortestForm) {
  struct Case {
    const char* name;
    double value;
    const char* text;
  };
  const double inf = std::numeric_limits<double>::infinity();
  const Case cases[] = {
      {"integralKeepsPointZero", 750000000.0, "750000000.0"},
      {"sampleRate", 48000.0, "48000.0"},
      {"half", 750000000.5, "750000000.5"},
      {"tenth", 0.1, "0.1"},
      {"zero", 0.0, "0.0"},
      {"negativeZero", -0.0, "-0.0"},
      {"smallestFixed", 1e-4, "0.0001"},
      {"belowFixed", 1e-5, "1e-05"},
      {"largestFixed", 1e15, "1000000000000000.0"},
      {"aboveFixed", 1e16, "1e+16"},
      {"hugeNegative", -1e300, "-1e+300"},
      {"fractionalExponent", 1.5e20, "1.5e+20"},
      {"denormal", 5e-324, "5e-324"},
      {"nan", std::nan(""), "nan"},
      {"inf", inf, "inf"},
      {"negativeInf", -inf, "-inf"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(shortestDouble(c.value), c.text);
  }
}

TEST(DoubleTextTest, WritesShortestFloatForm) {
  struct Case {
    const char* name;
    float value;
    const char* text;
  };
  const float inf = std::numeric_limits<float>::infinity();
  const Case cases[] = {
      {"tenthsStayShort", 3.9f, "3.9"},
      {"integralKeepsPointZero", 4.0f, "4.0"},
      {"quarter", 0.25f, "0.25"},
      {"zero", 0.0f, "0.0"},
      {"negativeZero", -0.0f, "-0.0"},
      {"smallestFixed", 1e-4f, "0.0001"},
      {"belowFixed", 1e-5f, "1e-05"},
      {"aboveFixed", 1e16f, "1e+16"},
      {"largest", std::numeric_limits<float>::max(), "3.4028235e+38"},
      {"nan", std::nanf(""), "nan"},
      {"inf", inf, "inf"},
      {"negativeInf", -inf, "-inf"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(shortestFloat(c.value), c.text);
  }
  for (float value : {3.9f, 0.84f, 1234.5677f, 7e-9f}) {
    SCOPED_TRACE(shortestFloat(value));
    EXPECT_EQ(static_cast<float>(*parseDouble(shortestFloat(value))), value);
  }
}

TEST(DoubleTextTest, ReadsBackWhatItWrites) {
  for (double value : {750000000.5, -1e300, 0.1, 1e-5, 123456.789, 1.7976931348623157e308}) {
    SCOPED_TRACE(shortestDouble(value));
    EXPECT_EQ(parseDouble(shortestDouble(value)), value);
  }
}

TEST(DoubleTextTest, ParsesWholeTextsOnly) {
  struct Case {
    const char* name;
    const char* text;
    std::optional<double> value;
  };
  const Case cases[] = {
      {"plain", "1.5", 1.5},
      {"plusSign", "+2", 2.0},
      {"minusSign", "-2.5e3", -2500.0},
      {"infinity", "-inf", -std::numeric_limits<double>::infinity()},
      {"empty", "", std::nullopt},
      {"onlySign", "-", std::nullopt},
      {"twoSigns", "+-1", std::nullopt},
      {"leadingBlank", " 1", std::nullopt},
      {"trailingText", "1.5x", std::nullopt},
      {"letters", "abc", std::nullopt},
      {"commaDecimal", "1,5", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(parseDouble(c.text), c.value);
  }
}

}  // namespace
}  // namespace platform::text
