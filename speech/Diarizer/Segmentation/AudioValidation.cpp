#include "speech/Diarizer/Segmentation/AudioValidation.h"

#include <algorithm>
#include <cmath>

#include "platform/dsp/VectorOps.h"

namespace tesselaudio::AudioValidation {
namespace {

constexpr float kSampleRate = 16000;
constexpr float kMinimumSeconds = 1.0f;
constexpr float kMinimumRms = 0.01f;
constexpr float kMinimumEmbeddingNorm = 0.1f;

}  // namespace

AudioValidationResult validateAudio(std::span<const float> samples) {
  AudioValidationResult result;
  result.durationSeconds = static_cast<float>(samples.size()) / kSampleRate;
  if (result.durationSeconds < kMinimumSeconds) {
    result.issues.push_back("Audio too short (minimum 1 second)");
  }
  if (samples.empty()) result.issues.push_back("No audio data");
  const float rms = samples.empty() ? 0.0f
                                    : std::sqrt(platform::dsp::dot(samples, samples) /
                                                static_cast<float>(samples.size()));
  if (rms < kMinimumRms) result.issues.push_back("Audio too quiet or silent");
  result.isValid = result.issues.empty();
  return result;
}

bool validateEmbedding(std::span<const float> embedding) {
  if (embedding.empty()) return false;
  if (!std::all_of(embedding.begin(), embedding.end(), [](float v) { return std::isfinite(v); })) {
    return false;
  }
  return std::sqrt(platform::dsp::dot(embedding, embedding)) > kMinimumEmbeddingNorm;
}

}  // namespace tesselaudio::AudioValidation
