#include "speech/Diarizer/DiarizerActivityType.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

namespace tesselaudio {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

TEST(DiarizerActivityTypeTest, EvaluatesProbabilitiesInEachUnit) {
  struct Case {
    const char* name;
    DiarizerActivityType type;
    float probability;
    float score;
  };
  const Case cases[] = {
      {"sigmoid is the probability", DiarizerActivityType::sigmoids, 0.3f, 0.3f},
      {"sigmoid keeps values outside 0...1", DiarizerActivityType::sigmoids, 1.5f, 1.5f},
      {"logit of one half", DiarizerActivityType::logits, 0.5f, 0.0f},
      {"logit of 0.9", DiarizerActivityType::logits, 0.9f, 2.19722f},
      {"zero clamps to the lower bound", DiarizerActivityType::logits, 0.0f, -13.8155f},
      {"the lower bound itself", DiarizerActivityType::logits, 0.000001f, -13.8155f},
      {"below the lower bound", DiarizerActivityType::logits, 1e-9f, -13.8155f},
      {"negative values clamp up", DiarizerActivityType::logits, -2.0f, -13.8155f},
      // 0.999999 rounds down in single precision, so the upper bound is not the mirror image.
      {"one clamps to the upper bound", DiarizerActivityType::logits, 1.0f, 13.8023f},
      {"above one clamps down", DiarizerActivityType::logits, 3.0f, 13.8023f},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_NEAR(evaluationFunction(c.type)(c.probability), c.score, 1e-3);
  }
}

TEST(DiarizerActivityTypeTest, NaNPassesThroughBothUnits) {
  EXPECT_TRUE(std::isnan(evaluationFunction(DiarizerActivityType::sigmoids)(kNaN)));
  EXPECT_TRUE(std::isnan(evaluationFunction(DiarizerActivityType::logits)(kNaN)));
}

}  // namespace
}  // namespace tesselaudio
