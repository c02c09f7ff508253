#include "speech/ASR/Parakeet/SlidingWindow/CustomVocabulary/ContextBiasingConstants.h"

#include <cstdint>
#include <cstdlib>
#include <type_traits>

#include <gtest/gtest.h>

namespace tesselaudio {
namespace {

namespace constants = ContextBiasingConstants;

#define EXPECT_CONSTANT(name, Type, value)                                  \
  static_assert(std::is_same_v<decltype(constants::name), const Type>, #name); \
  EXPECT_EQ(constants::name, static_cast<Type>(value)) << #name

TEST(ContextBiasingConstantsTest, FixedConstantsHaveTheirValuesAndTypes) {
  EXPECT_CONSTANT(wildcardTokenId, std::int64_t, -1);
  EXPECT_CONSTANT(defaultBlankId, std::int64_t, 1024);
  EXPECT_CONSTANT(defaultMinSpotterScore, float, -15.0f);
  EXPECT_CONSTANT(defaultMinVocabCtcScore, float, -12.0f);
  EXPECT_CONSTANT(ctcTemperature, float, 1.0f);
  EXPECT_CONSTANT(blankBias, float, 0.0f);
  EXPECT_CONSTANT(minSimilarityFloor, float, 0.5f);
  EXPECT_CONSTANT(defaultMinSimilarity, float, 0.52f);
  EXPECT_CONSTANT(defaultMinCombinedConfidence, float, 0.54f);
  EXPECT_CONSTANT(lengthRatioThreshold, float, 0.75f);
  EXPECT_CONSTANT(shortWordSimilarity, float, 0.8f);
  EXPECT_CONSTANT(stopwordSpanSimilarity, float, 0.85f);
  EXPECT_CONSTANT(confidentWordMinConfidence, float, 0.99f);
  EXPECT_CONSTANT(closeSpellingSimilarity, float, 0.8f);
  EXPECT_CONSTANT(defaultCbw, float, 3.0f);
  EXPECT_CONSTANT(defaultAlpha, float, 0.5f);
  EXPECT_CONSTANT(defaultMarginSeconds, double, 0.1);
  EXPECT_CONSTANT(largeVocabThreshold, std::int64_t, 10);
  EXPECT_CONSTANT(extraLargeVocabThreshold, std::int64_t, 100);
  EXPECT_CONSTANT(baselineTokenCountForThreshold, std::int64_t, 3);
  EXPECT_CONSTANT(thresholdRelaxationPerToken, float, 1.0f);
  EXPECT_CONSTANT(defaultReferenceTokenCount, std::int64_t, 3);
  EXPECT_CONSTANT(defaultUseAdaptiveThresholds, bool, true);
  EXPECT_CONSTANT(shortWordMaxLength, std::int64_t, 4);
  EXPECT_CONSTANT(useBkTree, bool, false);
  EXPECT_CONSTANT(bkTreeMaxDistance, std::int64_t, 3);
}

TEST(ContextBiasingConstantsTest, PresetsFollowTheVocabularySize) {
  const struct {
    std::int64_t size;
    float minSimilarity;
  } cases[] = {{-5, 0.50f}, {0, 0.50f}, {10, 0.50f}, {11, 0.55f}, {100, 0.55f}, {101, 0.60f}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    EXPECT_EQ(constants::rescorerConfig(c.size), (constants::VocabSizeConfig{c.minSimilarity, 4.5f}));
  }
}

TEST(ContextBiasingConstantsTest, WithoutVariablesTheDefaultsHold) {
  EXPECT_EQ(constants::defaultShortTermCbwTaperPivot(), 1);
  EXPECT_EQ(constants::defaultShortTermCbwTaperExponent(), 2.0f);
  EXPECT_EQ(constants::defaultSpotterRescueMinSimilarity(), 0.0f);
  EXPECT_EQ(constants::defaultSpotterRescueMultiWordMinSimilarity(), 0.0f);
  EXPECT_TRUE(constants::defaultSpotterRescueEnabled());
}

TEST(ContextBiasingConstantsTest, TaperPivotReadsOnlyASignAndDigits) {
  const struct {
    const char* value;
    std::int64_t pivot;
  } cases[] = {
      {"+4", 4},  {"4", 4},   {"-3", -3}, {"0", 0},     {"4.0", 1}, {" 4", 1},
      {"4 ", 1},  {"four", 1}, {"", 1},   {"+", 1},     {"-", 1},   {"+-4", 1},
      {"9223372036854775807", 9223372036854775807}, {"9223372036854775808", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    ::setenv("TESSEL_CBW_TAPER_PIVOT", c.value, 1);
    EXPECT_EQ(constants::defaultShortTermCbwTaperPivot(), c.pivot);
  }
}

TEST(ContextBiasingConstantsTest, FloatVariablesReadWholeDecimalNumbers) {
  const struct {
    const char* value;
    float exponent;
  } cases[] = {{"0.5", 0.5f}, {"3", 3.0f}, {"-1.5", -1.5f}, {"1e-1", 0.1f}, {"word", 2.0f},
               {"", 2.0f},   {" 3", 2.0f}, {"3x", 2.0f}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    ::setenv("TESSEL_CBW_TAPER_EXP", c.value, 1);
    EXPECT_FLOAT_EQ(constants::defaultShortTermCbwTaperExponent(), c.exponent);
  }
  ::setenv("TESSEL_SPOTTER_MIN_SIM_MULTI", "1.5", 1);  // no range is checked
  EXPECT_FLOAT_EQ(constants::defaultSpotterRescueMultiWordMinSimilarity(), 1.5f);
}

TEST(ContextBiasingConstantsTest, RescueSwitchReadsBooleanWordsInAnyCase) {
  const struct {
    const char* value;
    bool enabled;
  } cases[] = {{"OFF", false}, {"No", false}, {"0", false},  {"false", false}, {"FALSE", false},
               {"on", true},   {"YES", true}, {"1", true},   {"True", true},   {"maybe", true},
               {"", true},     {"off ", true}, {" no", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    ::setenv("TESSEL_SPOTTER_RESCUE", c.value, 1);
    EXPECT_EQ(constants::defaultSpotterRescueEnabled(), c.enabled);
  }
}

}  // namespace
}  // namespace tesselaudio
