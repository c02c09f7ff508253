#include "speech/ASR/Parakeet/SlidingWindow/CustomVocabulary/VocabularyRescorerConfig.h"

#include <algorithm>
#include <cmath>

#include "speech/ASR/Parakeet/SlidingWindow/CustomVocabulary/ContextBiasingConstants.h"

namespace tesselaudio {
namespace {

constexpr float kGrowthPerDoubling = 0.3f;

VocabularyRescorerConfig fromEnvironment() {
  namespace constants = ContextBiasingConstants;
  return {
      .useAdaptiveThresholds = constants::defaultUseAdaptiveThresholds,
      .referenceTokenCount = constants::defaultReferenceTokenCount,
      .shortTermCbwTaperPivot = constants::defaultShortTermCbwTaperPivot(),
      .shortTermCbwTaperExponent = constants::defaultShortTermCbwTaperExponent(),
      .spotterRescueMinSimilarity = constants::defaultSpotterRescueMinSimilarity(),
      .spotterRescueMultiWordMinSimilarity = constants::defaultSpotterRescueMultiWordMinSimilarity(),
      .spotterRescueEnabled = constants::defaultSpotterRescueEnabled(),
      .confidentWordBiasGate = true,
  };
}

}  // namespace

VocabularyRescorerConfig VocabularyRescorerConfig::default_() {
  static const VocabularyRescorerConfig config = fromEnvironment();
  return config;
}

VocabularyRescorerConfig VocabularyRescorerConfig::itnDefault() {
  static const VocabularyRescorerConfig config = [] {
    VocabularyRescorerConfig c = fromEnvironment();
    c.spotterRescueMinSimilarity = 0.3f;
    c.spotterRescueMultiWordMinSimilarity = 0.5f;
    c.confidentWordBiasGate = false;
    return c;
  }();
  return config;
}

float VocabularyRescorerConfig::adaptiveCbw(float baseCbw, std::int64_t tokenCount) const {
  if (!useAdaptiveThresholds) return baseCbw;
  if (shortTermCbwTaperPivot >= 2 && tokenCount < shortTermCbwTaperPivot) {
    const float ratio = static_cast<float>(std::max<std::int64_t>(tokenCount, 1)) /
                        static_cast<float>(shortTermCbwTaperPivot);
    return baseCbw * std::pow(ratio, shortTermCbwTaperExponent);
  }
  // A reference below 1 would divide by zero or take the logarithm of a negative ratio.
  if (referenceTokenCount >= 1 && tokenCount > referenceTokenCount) {
    const float ratio = static_cast<float>(tokenCount) / static_cast<float>(referenceTokenCount);
    return baseCbw * (1.0f + kGrowthPerDoubling * std::log2(ratio));
  }
  return baseCbw;
}

}  // namespace tesselaudio
