#include "speech/Diarizer/Offline/Utils/VDSPOperations.h"

#include <cmath>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

namespace tesselaudio {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

TEST(VDSPOperationsTest, L2NormalizeBringsVectorsToUnitLength) {
  struct Case {
    const char* name;
    std::vector<float> vector;
    std::vector<float> expected;
  };
  const Case cases[] = {
      {"three four five", {3, 4}, {0.6f, 0.8f}},
      {"empty", {}, {}},
      {"zeros stay zeros", {0, 0, 0}, {0, 0, 0}},
      {"already unit", {0, -1, 0}, {0, -1, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto result = VDSPOperations::l2Normalize(c.vector);
    ASSERT_EQ(result.size(), c.expected.size());
    for (std::size_t i = 0; i < result.size(); ++i) EXPECT_FLOAT_EQ(result[i], c.expected[i]);
  }
}

TEST(VDSPOperationsTest, LogSumExp) {
  struct Case {
    const char* name;
    std::vector<float> vector;
    float expected;
  };
  const Case cases[] = {
      {"empty", {}, -kInf},
      {"two zeros", {0, 0}, 0.6931472f},
      {"single element", {-3.25f}, -3.25f},
      {"large values do not overflow", {1000, 1000}, 1000.6931472f},
      {"dominant element", {50, -50}, 50},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FLOAT_EQ(VDSPOperations::logSumExp(c.vector), c.expected);
  }
  EXPECT_TRUE(std::isnan(VDSPOperations::logSumExp(std::vector<float>{-kInf, -kInf})));
  EXPECT_TRUE(std::isnan(VDSPOperations::logSumExp(std::vector<float>{kInf, 0})));
}

}  // namespace
}  // namespace tesselaudio
