#include "speech/VAD/VadSegmentationConfig.h"

#include <algorithm>
#include <cmath>
#include <string>

#include <fmt/format.h>

#include "platform/sys/InvalidArgumentError.h"
#include "speech/VAD/VadSegment.h"

namespace tesselaudio {
namespace {

constexpr double kSampleRate = 16000.0;

void require(bool holds, const char* field, const char* rule, double value) {
  if (!holds) throw platform::InvalidArgumentError(field, fmt::format("{} (got {})", rule, value));
}

void requireFiniteDuration(double value, const char* field) {
  require(std::isfinite(value) && value >= 0, field, "must be a finite duration of at least 0", value);
}

void requireProbability(double value, const char* field) {
  require(value >= 0 && value <= 1, field, "must lie between 0 and 1", value);
}

}  // namespace

VadSegmentationConfig::VadSegmentationConfig(double minSpeechDuration, double minSilenceDuration,
                                             double maxSpeechDuration, double speechPadding,
                                             float silenceThresholdForSplit, std::optional<float> negativeThreshold,
                                             float negativeThresholdOffset, double minSilenceAtMaxSpeech,
                                             bool useMaxPossibleSilenceAtMaxSpeech)
    : minSpeechDuration(minSpeechDuration),
      minSilenceDuration(minSilenceDuration),
      maxSpeechDuration(maxSpeechDuration),
      speechPadding(speechPadding),
      silenceThresholdForSplit(silenceThresholdForSplit),
      negativeThreshold(negativeThreshold),
      negativeThresholdOffset(negativeThresholdOffset),
      minSilenceAtMaxSpeech(minSilenceAtMaxSpeech),
      useMaxPossibleSilenceAtMaxSpeech(useMaxPossibleSilenceAtMaxSpeech) {
  requireFiniteDuration(minSpeechDuration, "minSpeechDuration");
  requireFiniteDuration(minSilenceDuration, "minSilenceDuration");
  // Comparisons with NaN are false, so this refuses it too.
  require(maxSpeechDuration > 0, "maxSpeechDuration", "must be greater than 0", maxSpeechDuration);
  requireFiniteDuration(speechPadding, "speechPadding");
  requireProbability(silenceThresholdForSplit, "silenceThresholdForSplit");
  if (negativeThreshold) requireProbability(*negativeThreshold, "negativeThreshold");
  require(negativeThresholdOffset >= 0, "negativeThresholdOffset", "must be at least 0", negativeThresholdOffset);
  requireFiniteDuration(minSilenceAtMaxSpeech, "minSilenceAtMaxSpeech");
}

const VadSegmentationConfig& VadSegmentationConfig::default_() {
  static const VadSegmentationConfig value;
  return value;
}

float VadSegmentationConfig::effectiveNegativeThreshold(float baseThreshold) const {
  if (negativeThreshold) return *negativeThreshold;
  const float derived = baseThreshold - negativeThresholdOffset;
  return derived <= 0.01f ? 0.01f : derived;
}

float VadSegmentationConfig::speechThreshold(float baseThreshold) const {
  if (!negativeThreshold) return baseThreshold;
  return std::min(*negativeThreshold + negativeThresholdOffset, 1.0f);
}

std::int64_t VadSegmentationConfig::samples(double seconds) { return detail::truncatedSamples(seconds, kSampleRate); }

}  // namespace tesselaudio
