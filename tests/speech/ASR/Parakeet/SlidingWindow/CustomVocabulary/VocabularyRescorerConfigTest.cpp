#include "speech/ASR/Parakeet/SlidingWindow/CustomVocabulary/VocabularyRescorerConfig.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>

#include <gtest/gtest.h>

#include "speech/ASR/Parakeet/SlidingWindow/CustomVocabulary/ContextBiasingConstants.h"

namespace tesselaudio {
namespace {

VocabularyRescorerConfig adaptive(std::int64_t reference, std::int64_t pivot, float exponent) {
  return {.useAdaptiveThresholds = true,
          .referenceTokenCount = reference,
          .shortTermCbwTaperPivot = pivot,
          .shortTermCbwTaperExponent = exponent};
}

TEST(VocabularyRescorerConfigTest, ReadyMadeConfigurationsWithoutVariables) {
  EXPECT_EQ(VocabularyRescorerConfig::default_(),
            (VocabularyRescorerConfig{true, 3, 1, 2.0f, 0.0f, 0.0f, true, true}));
  EXPECT_EQ(VocabularyRescorerConfig::itnDefault(),
            (VocabularyRescorerConfig{true, 3, 1, 2.0f, 0.3f, 0.5f, true, false}));
}

TEST(VocabularyRescorerConfigTest, RescueFloorVariableReachesOnlyTheDefaultConfiguration) {
  ::setenv("TESSEL_SPOTTER_MIN_SIM", "0.4", 1);
  ::setenv("TESSEL_SPOTTER_MIN_SIM_MULTI", "0.7", 1);
  EXPECT_FLOAT_EQ(VocabularyRescorerConfig::default_().spotterRescueMinSimilarity, 0.4f);
  EXPECT_FLOAT_EQ(VocabularyRescorerConfig::default_().spotterRescueMultiWordMinSimilarity, 0.7f);
  EXPECT_FLOAT_EQ(ContextBiasingConstants::defaultSpotterRescueMinSimilarity(), 0.4f);
  EXPECT_FLOAT_EQ(VocabularyRescorerConfig::itnDefault().spotterRescueMinSimilarity, 0.3f);
  EXPECT_FLOAT_EQ(VocabularyRescorerConfig::itnDefault().spotterRescueMultiWordMinSimilarity, 0.5f);
}

TEST(VocabularyRescorerConfigTest, SharedVariablesReachBothConfigurations) {
  ::setenv("TESSEL_CBW_TAPER_PIVOT", "+4", 1);
  ::setenv("TESSEL_CBW_TAPER_EXP", "1.5", 1);
  ::setenv("TESSEL_SPOTTER_RESCUE", "Off", 1);
  for (const auto& config : {VocabularyRescorerConfig::default_(), VocabularyRescorerConfig::itnDefault()}) {
    EXPECT_EQ(config.shortTermCbwTaperPivot, 4);
    EXPECT_FLOAT_EQ(config.shortTermCbwTaperExponent, 1.5f);
    EXPECT_FALSE(config.spotterRescueEnabled);
  }
}

TEST(VocabularyRescorerConfigTest, LaterVariableChangesReachOnlyTheProperties) {
  const VocabularyRescorerConfig first = VocabularyRescorerConfig::default_();
  const VocabularyRescorerConfig firstItn = VocabularyRescorerConfig::itnDefault();
  ::setenv("TESSEL_SPOTTER_MIN_SIM", "0.9", 1);
  ::setenv("TESSEL_CBW_TAPER_PIVOT", "5", 1);
  ::setenv("TESSEL_SPOTTER_RESCUE", "no", 1);

  EXPECT_FLOAT_EQ(ContextBiasingConstants::defaultSpotterRescueMinSimilarity(), 0.9f);
  EXPECT_EQ(ContextBiasingConstants::defaultShortTermCbwTaperPivot(), 5);
  EXPECT_FALSE(ContextBiasingConstants::defaultSpotterRescueEnabled());
  EXPECT_EQ(VocabularyRescorerConfig::default_(), first);
  EXPECT_EQ(VocabularyRescorerConfig::itnDefault(), firstItn);
}

TEST(VocabularyRescorerConfigTest, AdaptiveWeightGrowsAndTapers) {
  const struct {
    const char* name;
    VocabularyRescorerConfig config;
    std::int64_t tokenCount;
    float weight;
  } cases[] = {
      {"one token, no taper", adaptive(3, 1, 2), 1, 4.5f},
      {"reference count", adaptive(3, 1, 2), 3, 4.5f},
      {"twice the reference", adaptive(3, 1, 2), 6, 5.85f},
      {"four times the reference", adaptive(3, 1, 2), 12, 7.2f},
      {"no tokens, pivot 4", adaptive(3, 4, 2), 0, 0.28125f},
      {"one token, pivot 4", adaptive(3, 4, 2), 1, 0.28125f},
      {"two tokens, pivot 4", adaptive(3, 4, 2), 2, 1.125f},
      {"three tokens, pivot 4", adaptive(3, 4, 2), 3, 2.53125f},
      {"at the pivot", adaptive(3, 4, 2), 4, 4.5f * (1 + 0.3f * std::log2(4.0f / 3.0f))},
      {"pivot 0 never tapers", adaptive(3, 0, 2), 1, 4.5f},
      {"negative pivot never tapers", adaptive(3, -2, 2), 1, 4.5f},
      {"not adaptive, short", {false, 3, 4, 2}, 1, 4.5f},
      {"not adaptive, long", {false, 3, 4, 2}, 12, 4.5f},
      {"reference 0", adaptive(0, 1, 2), 5, 4.5f},
      {"negative reference", adaptive(-3, 1, 2), 5, 4.5f},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const float weight = c.config.adaptiveCbw(4.5f, c.tokenCount);
    EXPECT_TRUE(std::isfinite(weight));
    EXPECT_FLOAT_EQ(weight, c.weight);
  }
}

}  // namespace
}  // namespace tesselaudio
