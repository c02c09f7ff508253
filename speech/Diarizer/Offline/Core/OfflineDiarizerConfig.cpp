#include "speech/Diarizer/Offline/Core/OfflineDiarizerConfig.h"

#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "platform/text/DoubleText.h"
#include "speech/Diarizer/Offline/Core/OfflineDiarizationError.h"

namespace tesselaudio {
namespace {

using platform::text::shortestDouble;
using platform::text::shortestFloat;

// 2^63 as a double: the first value past the signed 64-bit range.
constexpr double kInt64Limit = 9223372036854775808.0;

// `value` truncated toward zero, saturated at the 64-bit limits; 0 for not-a-number.
std::int64_t truncatedToInt64(double value) {
  if (std::isnan(value)) return 0;
  if (value >= kInt64Limit) return std::numeric_limits<std::int64_t>::max();
  if (value <= -kInt64Limit) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(value);
}

[[noreturn]] void refuse(const std::string& message) {
  throw OfflineDiarizationError::invalidConfiguration(message);
}

void validateClustering(const OfflineDiarizerConfig::Clustering& clustering) {
  if (!(clustering.threshold > 0 && clustering.threshold <= 2)) {
    refuse("clustering.threshold must be within (0, 2], got " + shortestDouble(clustering.threshold));
  }
  if (!(clustering.warmStartFa > 0 && clustering.warmStartFb > 0)) {
    refuse("clustering warm-start Fa/Fb must be positive (Fa=" + shortestDouble(clustering.warmStartFa) +
           ", Fb=" + shortestDouble(clustering.warmStartFb) + ")");
  }
}

void validateWindowing(const OfflineDiarizerConfig::Segmentation& segmentation) {
  if (!(segmentation.windowDurationSeconds > 0)) {
    refuse("segmentation.windowDurationSeconds must be positive, got " +
           shortestDouble(segmentation.windowDurationSeconds));
  }
  if (!(segmentation.sampleRate >= 1)) refuse("sampleRate must be positive");
  if (!(segmentation.stepRatio > 0 && segmentation.stepRatio <= 1)) {
    refuse("segmentation.stepRatio must be within (0, 1], got " + shortestDouble(segmentation.stepRatio));
  }
  // A window of no samples, or of more than a 64-bit count, would leave the pipeline no sound
  // window length to cut the recording by.
  const double samples = segmentation.windowDurationSeconds * static_cast<double>(segmentation.sampleRate);
  if (!(std::isfinite(samples) && samples >= 1 && samples < kInt64Limit)) {
    refuse("segmentation window must hold at least one sample, got " + shortestDouble(samples));
  }
}

void validateBatches(const OfflineDiarizerConfig& config) {
  const auto batch = config.segmentation.batchSize;
  if (!(batch >= 1 && batch <= 32)) {
    throw OfflineDiarizationError::invalidBatchSize(
        "segmentation.batchSize must be within 1...32 (the segmentation model's batch range), got " +
        std::to_string(batch));
  }
  if (!(config.embedding.batchSize >= 1)) {
    throw OfflineDiarizationError::invalidBatchSize("embeddingBatchSize must be > 0");
  }
  if (!(config.embedding.batchSize <= 32)) {
    throw OfflineDiarizationError::invalidBatchSize("embeddingBatchSize must be <= 32 to fit PLDA batch limits");
  }
}

void validateDurationsAndThresholds(const OfflineDiarizerConfig& config) {
  if (!(config.vbx.maxIterations >= 1)) {
    refuse("maxVBxIterations must be > 0, got " + std::to_string(config.vbx.maxIterations));
  }
  if (!(config.vbx.convergenceTolerance > 0)) refuse("convergenceTolerance must be positive");
  if (!(config.embedding.minSegmentDurationSeconds >= 0)) refuse("embedding.minSegmentDuration must be >= 0");
  if (!(config.postProcessing.minGapDurationSeconds >= 0)) refuse("minGapDuration must be >= 0");
  if (!(config.zeroVoteReembed.minDurationSeconds >= 0)) {
    refuse("zeroVoteReembed.minDurationSeconds must be >= 0, got " +
           shortestDouble(config.zeroVoteReembed.minDurationSeconds));
  }
  if (!(config.segmentation.minDurationOn >= 0)) refuse("segmentation.minDurationOn must be >= 0");
  if (!(config.segmentation.minDurationOff >= 0)) refuse("segmentation.minDurationOff must be >= 0");
  const float onset = config.segmentation.speechOnsetThreshold;
  const float offset = config.segmentation.speechOffsetThreshold;
  if (!(onset >= 0 && onset <= 1)) {
    refuse("speechOnsetThreshold must be within [0, 1], got " + shortestFloat(onset));
  }
  if (!(offset >= 0 && offset <= onset)) {
    refuse("speechOffsetThreshold must be within [0, speechOnsetThreshold], got " + shortestFloat(offset));
  }
}

}  // namespace

OfflineDiarizerConfig::OfflineDiarizerConfig(Segmentation segmentation, Embedding embedding, Clustering clustering,
                                             VBx vbx, PostProcessing postProcessing, ZeroVoteReembed zeroVoteReembed,
                                             Export export_, bool exposeChunkEmbeddings)
    : segmentation(std::move(segmentation)),
      embedding(std::move(embedding)),
      clustering(std::move(clustering)),
      vbx(std::move(vbx)),
      postProcessing(std::move(postProcessing)),
      zeroVoteReembed(std::move(zeroVoteReembed)),
      export_(std::move(export_)),
      exposeChunkEmbeddings(exposeChunkEmbeddings) {}

OfflineDiarizerConfig::OfflineDiarizerConfig(const Flat& flat)
    : segmentation{flat.windowDuration,
                   flat.sampleRate,
                   flat.segmentationMinDurationOn,
                   flat.segmentationMinDurationOff,
                   flat.segmentationStepRatio,
                   flat.speechOnsetThreshold,
                   flat.speechOffsetThreshold,
                   Segmentation::community().batchSize},
      embedding{flat.embeddingBatchSize, flat.embeddingExcludeOverlap, flat.minSegmentDuration,
                flat.embeddingSkipStrategy},
      clustering{flat.clusteringThreshold, flat.Fa, flat.Fb, std::nullopt, std::nullopt, std::nullopt, true},
      vbx{flat.maxVBxIterations, flat.convergenceTolerance},
      postProcessing{flat.minGapDuration, flat.exclusiveSegments},
      zeroVoteReembed(ZeroVoteReembed::disabled()),
      export_{flat.embeddingExportPath},
      exposeChunkEmbeddings(false) {}

std::int64_t OfflineDiarizerConfig::samplesPerWindow() const {
  return truncatedToInt64(segmentation.windowDurationSeconds * static_cast<double>(segmentation.sampleRate));
}

std::int64_t OfflineDiarizerConfig::samplesPerStep() const {
  const auto step = truncatedToInt64(static_cast<double>(samplesPerWindow()) * segmentation.stepRatio);
  return step < 1 ? 1 : step;
}

void OfflineDiarizerConfig::validate() const {
  validateClustering(clustering);
  validateWindowing(segmentation);
  validateBatches(*this);
  validateDurationsAndThresholds(*this);
}

OfflineDiarizerConfig OfflineDiarizerConfig::withSpeakers(std::optional<std::int64_t> min,
                                                          std::optional<std::int64_t> max) const {
  auto copy = *this;
  copy.clustering.minSpeakers = min;
  copy.clustering.maxSpeakers = max;
  copy.clustering.numSpeakers = std::nullopt;
  return copy;
}

OfflineDiarizerConfig OfflineDiarizerConfig::withSpeakers(std::int64_t exactly) const {
  auto copy = *this;
  copy.clustering.minSpeakers = std::nullopt;
  copy.clustering.maxSpeakers = std::nullopt;
  copy.clustering.numSpeakers = exactly;
  return copy;
}

}  // namespace tesselaudio
