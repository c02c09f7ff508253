#include "speech/Diarizer/DiarizerActivityType.h"

#include <cmath>

namespace tesselaudio {
namespace {

float sigmoidScore(float p) { return p; }

float logitScore(float p) {
  // Comparisons rather than std::clamp, so that NaN passes through both bounds untouched.
  if (p > 0.999999f) p = 0.999999f;
  if (p <= 0.000001f) p = 0.000001f;
  return std::log(p / (1.0f - p));
}

}  // namespace

DiarizerActivityEvaluation evaluationFunction(DiarizerActivityType type) {
  switch (type) {
    case DiarizerActivityType::logits:
      return logitScore;
    case DiarizerActivityType::sigmoids:
      break;
  }
  return sigmoidScore;
}

}  // namespace tesselaudio
