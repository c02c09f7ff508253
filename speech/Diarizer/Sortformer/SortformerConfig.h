#pragma once

#include <cstdint>
#include <optional>

#include "speech/Shared/ModelNames.h"

namespace tesselaudio {

// The one configuration of the streaming Sortformer diarizer: the published model variant and
// its precision, the geometry of a chunk (core frames with left and right context, in frames of
// `subsamplingFactor` mel frames), the speaker cache and FIFO sizes, the audio front end and the
// constants of the speaker-cache compression. A plain value; safe to copy and to read from any
// thread.
//
// The presets match the published model files; the application runs balancedV2_1():
//
//   SortformerConfig config = SortformerConfig::balancedV2_1();
//   auto file = ModelNames::Sortformer::bundle(config);  // "v3/fp16/SortformerNvidiaLow_v2.1.mlmodelc"
struct SortformerConfig {
  // The declared defaults (no variant, fp16).
  SortformerConfig() = default;

  // A configuration from the caller's values, clamped in this order: chunkLen to at least 1;
  // spkcacheLen to at least (spkcacheSilFramesPerSpk + 1) × 4, so the cache keeps one frame per
  // speaker beside its silence frames; spkcacheUpdatePeriod to chunkLen ... fifoLen + chunkLen.
  // The fields that are not arguments keep their declared values.
  SortformerConfig(std::optional<ModelNames::Sortformer::Variant> modelVariant,
                   ModelNames::Sortformer::ModelPrecision precision, std::int64_t chunkLen,
                   std::int64_t chunkLeftContext, std::int64_t chunkRightContext,
                   std::int64_t fifoLen, std::int64_t spkcacheLen,
                   std::int64_t spkcacheUpdatePeriod, float silenceThreshold,
                   std::int64_t spkcacheSilFramesPerSpk, float predScoreThreshold,
                   float scoresBoostLatest, float strongBoostRate, float weakBoostRate,
                   float minPosScoresRate, bool debugMode);

  // The published variant this configuration belongs to; chooses the model file.
  std::optional<ModelNames::Sortformer::Variant> modelVariant;
  ModelNames::Sortformer::ModelPrecision precision = ModelNames::Sortformer::ModelPrecision::fp16;
  std::int64_t numSpeakers = 4;
  // Width of one frame embedding in the speaker cache, the FIFO and the chunk embeddings.
  std::int64_t preEncoderDims = 512;
  // Mel frames per frame.
  std::int64_t subsamplingFactor = 8;
  std::int64_t chunkLen = 6;
  std::int64_t chunkLeftContext = 1;
  std::int64_t chunkRightContext = 7;
  std::int64_t fifoLen = 40;
  std::int64_t spkcacheLen = 188;
  // Least number of frames moved from the FIFO into the speaker cache when the FIFO overflows.
  std::int64_t spkcacheUpdatePeriod = 31;
  std::int64_t spkcacheSilFramesPerSpk = 3;
  bool debugMode = false;
  std::int64_t sampleRate = 16000;
  std::int64_t melWindow = 400;
  std::int64_t melStride = 160;
  std::int64_t melFeatures = 128;
  // A frame whose speaker probabilities sum to less than this is silence.
  float silenceThreshold = 0.2f;
  float predScoreThreshold = 0.25f;
  float scoresBoostLatest = 0.05f;
  float strongBoostRate = 0.75f;
  float weakBoostRate = 1.5f;
  float minPosScoresRate = 0.5f;
  // Marks a selection slot without a frame; sorts behind every real index.
  std::int64_t maxIndex = 99999;

  // subsamplingFactor × melStride ÷ sampleRate in single precision: 0.08 s for every preset.
  float frameDurationSeconds() const;
  // Mel frames of one full chunk with its context.
  std::int64_t chunkMelFrames() const;
  // Mel frames of a chunk's core.
  std::int64_t coreFrames() const;

  // True when both have the same chunkMelFrames(), fifoLen and spkcacheLen; nothing else is
  // compared, so a model runs any configuration that splits its chunk span differently.
  bool isCompatible(const SortformerConfig& other) const;

  // The presets, built once on first use. default_() equals fastV2_1() in every field.
  static const SortformerConfig& default_();
  static const SortformerConfig& fastV2();
  static const SortformerConfig& fastV2_1();
  static const SortformerConfig& balancedV2();
  static const SortformerConfig& balancedV2_1();
  static const SortformerConfig& highContextV2();
  static const SortformerConfig& highContextV2_1();
  static const SortformerConfig& efficientV2_1();

  bool operator==(const SortformerConfig&) const = default;
};

}  // namespace tesselaudio
