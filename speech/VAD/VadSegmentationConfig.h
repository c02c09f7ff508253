#pragma once

#include <cstdint>
#include <optional>

namespace tesselaudio {

// The parameters of speech segmentation and of the streaming start and end detector. Durations
// are in seconds; each becomes samples as seconds × 16,000 truncated toward zero. A value.
//
// The speech and silence thresholds come in a pair. Without negativeThreshold: speech at or above
// the detector's threshold T, silence below effectiveNegativeThreshold(T). With it (n): speech at
// or above min(n + negativeThresholdOffset, 1), silence below n. A probability in between is
// neither.
struct VadSegmentationConfig {
  // Shorter speech is dropped (offline segmentation only).
  double minSpeechDuration = 0.15;
  // Silence this long ends speech.
  double minSilenceDuration = 0.75;
  // Longer speech is split (offline segmentation only); +infinity never splits.
  double maxSpeechDuration = 14.0;
  // Added before and after each segment; the offset of streaming starts and ends.
  double speechPadding = 0.1;
  // A pause is a preferred split point when its lowest probability is at or below this.
  float silenceThresholdForSplit = 0.3f;
  // Probability below which a chunk is silence; derived from the detector's threshold when absent.
  std::optional<float> negativeThreshold;
  // Distance between the speech threshold and the silence threshold.
  float negativeThresholdOffset = 0.15f;
  // A pause must be longer than this to be remembered as a split point.
  double minSilenceAtMaxSpeech = 0.098;
  // With no quiet enough pause, split at the longest one (true) or the latest one (false).
  bool useMaxPossibleSilenceAtMaxSpeech = true;

  // The defaults above.
  VadSegmentationConfig() = default;

  // Every field in order, stored unchanged. Later changes of the fields are not checked.
  // Throws platform::InvalidArgumentError naming the first field out of range: a NaN anywhere; a
  // negative or infinite minSpeechDuration, minSilenceDuration, speechPadding or
  // minSilenceAtMaxSpeech; maxSpeechDuration not above 0 (+infinity is accepted);
  // silenceThresholdForSplit, or a present negativeThreshold, outside [0, 1];
  // negativeThresholdOffset below 0.
  VadSegmentationConfig(double minSpeechDuration, double minSilenceDuration, double maxSpeechDuration,
                        double speechPadding, float silenceThresholdForSplit, std::optional<float> negativeThreshold,
                        float negativeThresholdOffset, double minSilenceAtMaxSpeech,
                        bool useMaxPossibleSilenceAtMaxSpeech);

  // The default value, built once.
  static const VadSegmentationConfig& default_();

  // The silence threshold: negativeThreshold when present, else baseThreshold −
  // negativeThresholdOffset raised to 0.01 when that is 0.01 or less.
  float effectiveNegativeThreshold(float baseThreshold) const;
  // The speech threshold: baseThreshold without negativeThreshold, else negativeThreshold +
  // negativeThresholdOffset lowered to 1.0.
  float speechThreshold(float baseThreshold) const;

  // A duration of this configuration in 16 kHz samples, truncated toward zero.
  static std::int64_t samples(double seconds);

  bool operator==(const VadSegmentationConfig&) const = default;
};

}  // namespace tesselaudio
