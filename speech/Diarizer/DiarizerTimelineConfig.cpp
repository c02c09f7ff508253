#include "speech/Diarizer/DiarizerTimelineConfig.h"

#include <cmath>

namespace tesselaudio {
namespace {

std::int64_t framesFromSeconds(float seconds, float frameDurationSeconds) {
  return static_cast<std::int64_t>(std::llround(seconds / frameDurationSeconds));
}

}  // namespace

DiarizerTimelineConfig DiarizerTimelineConfig::fromSeconds(
    std::optional<std::int64_t> numSpeakers, std::optional<float> frameDurationSeconds,
    float onsetThreshold, float offsetThreshold, float onsetPadSeconds, float offsetPadSeconds,
    float minDurationOn, float minDurationOff, DiarizerActivityType activityType,
    std::optional<std::int64_t> maxStoredFrames, bool storeSegments) {
  DiarizerTimelineConfig config;
  config.numSpeakers = numSpeakers.value_or(1);
  config.frameDurationSeconds = frameDurationSeconds.value_or(0.08f);
  config.onsetThreshold = onsetThreshold;
  config.offsetThreshold = offsetThreshold;
  config.setOnsetPadSeconds(onsetPadSeconds);
  config.setOffsetPadSeconds(offsetPadSeconds);
  config.setMinDurationOn(minDurationOn);
  config.setMinDurationOff(minDurationOff);
  config.activityType = activityType;
  config.maxStoredFrames = maxStoredFrames;
  config.storeSegments = storeSegments;
  return config;
}

DiarizerTimelineConfig DiarizerTimelineConfig::default_(std::int64_t numSpeakers,
                                                        float frameDurationSeconds) {
  DiarizerTimelineConfig config;
  config.numSpeakers = numSpeakers;
  config.frameDurationSeconds = frameDurationSeconds;
  return config;
}

DiarizerTimelineConfig DiarizerTimelineConfig::sortformerDefault() {
  static const DiarizerTimelineConfig preset = default_(4, 0.08f);
  return preset;
}

float DiarizerTimelineConfig::onsetPadSeconds() const {
  return frameDurationSeconds * static_cast<float>(onsetPadFrames);
}

void DiarizerTimelineConfig::setOnsetPadSeconds(float seconds) {
  onsetPadFrames = framesFromSeconds(seconds, frameDurationSeconds);
}

float DiarizerTimelineConfig::offsetPadSeconds() const {
  return frameDurationSeconds * static_cast<float>(offsetPadFrames);
}

void DiarizerTimelineConfig::setOffsetPadSeconds(float seconds) {
  offsetPadFrames = framesFromSeconds(seconds, frameDurationSeconds);
}

float DiarizerTimelineConfig::minDurationOn() const {
  return frameDurationSeconds * static_cast<float>(minFramesOn);
}

void DiarizerTimelineConfig::setMinDurationOn(float seconds) {
  minFramesOn = framesFromSeconds(seconds, frameDurationSeconds);
}

float DiarizerTimelineConfig::minDurationOff() const {
  return frameDurationSeconds * static_cast<float>(minFramesOff);
}

void DiarizerTimelineConfig::setMinDurationOff(float seconds) {
  minFramesOff = framesFromSeconds(seconds, frameDurationSeconds);
}

}  // namespace tesselaudio
