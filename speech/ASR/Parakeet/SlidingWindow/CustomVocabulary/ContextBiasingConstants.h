#pragma once

#include <cstdint>

// Every tuning number of context biasing in one place, so that the vocabulary loaders, the keyword
// spotter, the rescorer and the boosting session agree on them. The context-biasing weight (cbw)
// is added, in units of a per-token CTC log-probability score, to a vocabulary spelling's score
// before it is compared with the score of what was heard.
//
// Five defaults may be overridden through the environment; they are read afresh at every call:
//   TESSEL_CBW_TAPER_PIVOT        integer: an optional sign and digits, nothing else
//   TESSEL_CBW_TAPER_EXP          float: the whole value as a decimal number
//   TESSEL_SPOTTER_MIN_SIM        float
//   TESSEL_SPOTTER_MIN_SIM_MULTI  float
//   TESSEL_SPOTTER_RESCUE         "1", "true", "yes", "on" / "0", "false", "no", "off", any case
// A value that does not read counts as unset; no range is checked. Safe from any thread.
namespace tesselaudio::ContextBiasingConstants {

inline constexpr std::int64_t wildcardTokenId = -1;
inline constexpr std::int64_t defaultBlankId = 1024;
inline constexpr float defaultMinSpotterScore = -15.0f;
inline constexpr float defaultMinVocabCtcScore = -12.0f;
inline constexpr float ctcTemperature = 1.0f;
inline constexpr float blankBias = 0.0f;
inline constexpr float minSimilarityFloor = 0.5f;
inline constexpr float defaultMinSimilarity = 0.52f;
inline constexpr float defaultMinCombinedConfidence = 0.54f;
inline constexpr float lengthRatioThreshold = 0.75f;
inline constexpr float shortWordSimilarity = 0.8f;
inline constexpr float stopwordSpanSimilarity = 0.85f;
inline constexpr float confidentWordMinConfidence = 0.99f;
inline constexpr float closeSpellingSimilarity = 0.8f;
inline constexpr float defaultCbw = 3.0f;
inline constexpr float defaultAlpha = 0.5f;
inline constexpr double defaultMarginSeconds = 0.1;
inline constexpr std::int64_t largeVocabThreshold = 10;
inline constexpr std::int64_t extraLargeVocabThreshold = 100;
inline constexpr std::int64_t baselineTokenCountForThreshold = 3;
inline constexpr float thresholdRelaxationPerToken = 1.0f;
inline constexpr std::int64_t defaultReferenceTokenCount = 3;
inline constexpr bool defaultUseAdaptiveThresholds = true;
inline constexpr std::int64_t shortWordMaxLength = 4;
inline constexpr bool useBkTree = false;
inline constexpr std::int64_t bkTreeMaxDistance = 3;

// TESSEL_CBW_TAPER_PIVOT, else 1.
std::int64_t defaultShortTermCbwTaperPivot();
// TESSEL_CBW_TAPER_EXP, else 2.0.
float defaultShortTermCbwTaperExponent();
// TESSEL_SPOTTER_MIN_SIM, else 0.0.
float defaultSpotterRescueMinSimilarity();
// TESSEL_SPOTTER_MIN_SIM_MULTI, else 0.0.
float defaultSpotterRescueMultiWordMinSimilarity();
// TESSEL_SPOTTER_RESCUE, else true.
bool defaultSpotterRescueEnabled();

// The similarity floor of candidate matching and the base weight for a vocabulary of one size.
struct VocabSizeConfig {
  float minSimilarity = 0;
  float cbw = 0;

  bool operator==(const VocabSizeConfig&) const = default;
};

// Up to largeVocabThreshold terms (0 and negative counts included): 0.50; up to
// extraLargeVocabThreshold: 0.55; beyond: 0.60. The weight is 4.5 in every case.
VocabSizeConfig rescorerConfig(std::int64_t forVocabSize);

}  // namespace tesselaudio::ContextBiasingConstants
