#include "speech/Diarizer/Sortformer/SortformerConfig.h"

#include <algorithm>

namespace tesselaudio {
namespace {

using Variant = ModelNames::Sortformer::Variant;

// The presets differ only in the variant, the chunk geometry and the cache update period.
SortformerConfig preset(Variant variant, std::int64_t chunkLen, std::int64_t chunkRightContext,
                        std::int64_t fifoLen, std::int64_t spkcacheUpdatePeriod) {
  SortformerConfig config;
  config.modelVariant = variant;
  config.precision = ModelNames::Sortformer::ModelPrecision::fp16;
  config.chunkLen = chunkLen;
  config.chunkLeftContext = 1;
  config.chunkRightContext = chunkRightContext;
  config.fifoLen = fifoLen;
  config.spkcacheLen = 188;
  config.spkcacheUpdatePeriod = spkcacheUpdatePeriod;
  return config;
}

// The speaker count is fixed, so the cache floor does not depend on numSpeakers.
constexpr std::int64_t kFixedSpeakers = 4;

}  // namespace

SortformerConfig::SortformerConfig(std::optional<Variant> modelVariant,
                                   ModelNames::Sortformer::ModelPrecision precision,
                                   std::int64_t chunkLen, std::int64_t chunkLeftContext,
                                   std::int64_t chunkRightContext, std::int64_t fifoLen,
                                   std::int64_t spkcacheLen, std::int64_t spkcacheUpdatePeriod,
                                   float silenceThreshold, std::int64_t spkcacheSilFramesPerSpk,
                                   float predScoreThreshold, float scoresBoostLatest,
                                   float strongBoostRate, float weakBoostRate,
                                   float minPosScoresRate, bool debugMode)
    : modelVariant(modelVariant),
      precision(precision),
      chunkLen(std::max<std::int64_t>(chunkLen, 1)),
      chunkLeftContext(chunkLeftContext),
      chunkRightContext(chunkRightContext),
      fifoLen(fifoLen),
      spkcacheLen(std::max(spkcacheLen, (spkcacheSilFramesPerSpk + 1) * kFixedSpeakers)),
      spkcacheSilFramesPerSpk(spkcacheSilFramesPerSpk),
      debugMode(debugMode),
      silenceThreshold(silenceThreshold),
      predScoreThreshold(predScoreThreshold),
      scoresBoostLatest(scoresBoostLatest),
      strongBoostRate(strongBoostRate),
      weakBoostRate(weakBoostRate),
      minPosScoresRate(minPosScoresRate) {
  this->spkcacheUpdatePeriod =
      std::max(this->chunkLen, std::min(spkcacheUpdatePeriod, fifoLen + this->chunkLen));
}

float SortformerConfig::frameDurationSeconds() const {
  return static_cast<float>(subsamplingFactor) * static_cast<float>(melStride) /
         static_cast<float>(sampleRate);
}

std::int64_t SortformerConfig::chunkMelFrames() const {
  return (chunkLen + chunkLeftContext + chunkRightContext) * subsamplingFactor;
}

std::int64_t SortformerConfig::coreFrames() const { return subsamplingFactor * chunkLen; }

bool SortformerConfig::isCompatible(const SortformerConfig& other) const {
  return chunkMelFrames() == other.chunkMelFrames() && fifoLen == other.fifoLen &&
         spkcacheLen == other.spkcacheLen;
}

const SortformerConfig& SortformerConfig::default_() {
  static const SortformerConfig config = preset(Variant::fastV2_1, 6, 7, 40, 31);
  return config;
}

const SortformerConfig& SortformerConfig::fastV2() {
  static const SortformerConfig config = preset(Variant::fastV2, 6, 7, 40, 31);
  return config;
}

const SortformerConfig& SortformerConfig::fastV2_1() {
  static const SortformerConfig config = preset(Variant::fastV2_1, 6, 7, 40, 31);
  return config;
}

const SortformerConfig& SortformerConfig::balancedV2() {
  static const SortformerConfig config = preset(Variant::balancedV2, 6, 7, 188, 144);
  return config;
}

const SortformerConfig& SortformerConfig::balancedV2_1() {
  static const SortformerConfig config = preset(Variant::balancedV2_1, 6, 7, 188, 144);
  return config;
}

const SortformerConfig& SortformerConfig::highContextV2() {
  static const SortformerConfig config = preset(Variant::highContextV2, 340, 40, 40, 340);
  return config;
}

const SortformerConfig& SortformerConfig::highContextV2_1() {
  static const SortformerConfig config = preset(Variant::highContextV2_1, 340, 40, 40, 340);
  return config;
}

const SortformerConfig& SortformerConfig::efficientV2_1() {
  static const SortformerConfig config = preset(Variant::efficientV2_1, 25, 7, 40, 31);
  return config;
}

}  // namespace tesselaudio
