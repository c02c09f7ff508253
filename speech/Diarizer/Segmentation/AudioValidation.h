#pragma once

#include <span>

#include "speech/Diarizer/Core/AudioValidationResult.h"

// Checks before diarizing: whether a stretch of 16 kHz audio is long and loud enough, and whether
// a speaker embedding is usable. Stateless; safe from any thread.
namespace tesselaudio::AudioValidation {

// Duration at 16 kHz and the issues found, in this order: "Audio too short (minimum 1 second)"
// below 1 s, "No audio data" without samples, "Audio too quiet or silent" below an RMS of 0.01.
AudioValidationResult validateAudio(std::span<const float> samples);

// True for a non-empty embedding of finite values whose Euclidean norm is above 0.1; an all-zero
// placeholder is refused.
bool validateEmbedding(std::span<const float> embedding);

}  // namespace tesselaudio::AudioValidation
