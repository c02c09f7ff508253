#include "speech/Diarizer/Segmentation/SegmentationProcessor.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>
#include <string>

#include "platform/ml/MLFeatureValue.h"
#include "speech/Diarizer/Core/DiarizerError.h"
#include "speech/Shared/ANEMemoryError.h"
#include "speech/Shared/MLModelExtensions.h"
#include "speech/Shared/ZeroCopyDiarizerFeatureProvider.h"

namespace tesselaudio {

using platform::MLMultiArray;
using platform::MLMultiArrayDataType;

namespace {

constexpr std::size_t kLocalSpeakers = 3;
constexpr std::size_t kClasses = 7;

// The local speakers of each powerset class.
constexpr std::array<std::array<float, kLocalSpeakers>, kClasses> kPowerset{{
    {0, 0, 0},
    {1, 0, 0},
    {0, 1, 0},
    {0, 0, 1},
    {1, 1, 0},
    {1, 0, 1},
    {0, 1, 1},
}};

// The class of the best score, the lowest on ties; nothing for a frame without scores.
std::optional<std::size_t> bestClass(const std::vector<float>& frame) {
  if (frame.empty()) return std::nullopt;
  std::size_t best = 0;
  for (std::size_t c = 1; c < frame.size(); ++c) {
    if (frame[c] > frame[best]) best = c;
  }
  return best;
}

// Throws processingFailed unless the scores fit the powerset; returns the frame count.
std::size_t checkScores(const SegmentationProcessor::Scores& scores) {
  if (scores.empty()) throw DiarizerError::processingFailed("Segmentation scores hold no batch");
  const std::size_t frames = scores.front().size();
  for (const auto& batch : scores) {
    if (batch.size() != frames) {
      throw DiarizerError::processingFailed("Segmentation batches differ in frame count");
    }
    for (const auto& frame : batch) {
      if (frame.size() > kClasses) {
        throw DiarizerError::processingFailed("Segmentation frame has " +
                                              std::to_string(frame.size()) +
                                              " class scores, at most 7 are known");
      }
    }
  }
  return frames;
}

// Reads "segments" as one batch of frames of class scores.
SegmentationProcessor::Scores readScores(const MLMultiArray& array) {
  const auto& shape = array.shape();
  if (shape.size() < 3) {
    throw DiarizerError::processingFailed("Segmentation output has " +
                                          std::to_string(shape.size()) +
                                          " dimensions, expected [1, frames, classes]");
  }
  const std::int64_t frames = shape[1];
  const std::int64_t classes = shape[2];
  if (frames <= 0) throw DiarizerError::processingFailed("Segmentation output has no frames");
  if (classes > static_cast<std::int64_t>(kClasses)) {
    throw DiarizerError::processingFailed("Segmentation output has " + std::to_string(classes) +
                                          " classes, at most 7 are known");
  }
  // Read through the strides: dense arrays read straight, any other layout stays in bounds.
  const auto& strides = array.strides();
  std::vector<std::vector<float>> batch(static_cast<std::size_t>(frames),
                                        std::vector<float>(static_cast<std::size_t>(classes)));
  const bool isFloat32 = array.dataType() == MLMultiArrayDataType::float32;
  const auto* data = static_cast<const float*>(array.dataPointer());
  std::vector<std::int64_t> index(shape.size(), 0);
  for (std::int64_t f = 0; f < frames; ++f) {
    for (std::int64_t c = 0; c < classes; ++c) {
      float& score = batch[static_cast<std::size_t>(f)][static_cast<std::size_t>(c)];
      if (isFloat32) {
        score = data[f * strides[1] + c * strides[2]];
      } else {
        index[1] = f;
        index[2] = c;
        score = array[index].floatValue();
      }
    }
  }
  return {std::move(batch)};
}

}  // namespace

SegmentationProcessor::SegmentationProcessor() : logger_("Segmentation") {}

SegmentationProcessor::Output SegmentationProcessor::getSegments(
    std::span<const float> audioChunk, const platform::MLModel& segmentationModel,
    std::int64_t chunkSize) {
  auto input = memoryOptimizer_.createAlignedArray({1, 1, chunkSize}, MLMultiArrayDataType::float32);
  const std::size_t copied =
      std::min(audioChunk.size(), static_cast<std::size_t>(std::max<std::int64_t>(chunkSize, 0)));
  memoryOptimizer_.optimizedCopy(audioChunk.first(copied), *input, 0, true);

  const ZeroCopyDiarizerFeatureProvider features(
      {{"audio", std::make_shared<const platform::MLFeatureValue>(input)}});
  auto outputs = compatPrediction(segmentationModel, features, {}, {});

  const auto value = outputs->featureValue("segments");
  if (!value || !value->multiArrayValue()) {
    throw DiarizerError::processingFailed("Missing segments output from segmentation model");
  }
  const Scores scores = readScores(*value->multiArrayValue());
  return {powersetConversionOptimized(scores), std::move(outputs)};
}

SegmentationProcessor::Activity SegmentationProcessor::powersetConversionOptimized(
    const Scores& scores) const {
  const std::size_t frames = checkScores(scores);
  const std::size_t batches = scores.size();
  std::shared_ptr<MLMultiArray> buffer;
  try {
    buffer = memoryOptimizer_.createAlignedArray(
        {static_cast<std::int64_t>(batches), static_cast<std::int64_t>(frames),
         static_cast<std::int64_t>(kLocalSpeakers)},
        MLMultiArrayDataType::float32);
  } catch (const ANEMemoryUtils::ANEMemoryError& error) {
    logger_.warning(std::string("Aligned powerset buffer unavailable, converting on lists: ") +
                    error.description());
    return powersetConversionFallback(scores);
  }
  // Padded strides: frames are 16 floats apart, batches stride(0) apart.
  auto* data = static_cast<float*>(buffer->dataPointer());
  const std::int64_t batchStride = buffer->strides()[0];
  const std::int64_t frameStride = buffer->strides()[1];
  for (std::size_t b = 0; b < batches; ++b) {
    for (std::size_t f = 0; f < frames; ++f) {
      const auto best = bestClass(scores[b][f]);
      if (!best) continue;
      float* out = data + static_cast<std::int64_t>(b) * batchStride +
                   static_cast<std::int64_t>(f) * frameStride;
      std::copy(kPowerset[*best].begin(), kPowerset[*best].end(), out);
    }
  }
  Activity activity(batches, std::vector<std::vector<float>>(frames));
  for (std::size_t b = 0; b < batches; ++b) {
    for (std::size_t f = 0; f < frames; ++f) {
      const float* row = data + static_cast<std::int64_t>(b) * batchStride +
                         static_cast<std::int64_t>(f) * frameStride;
      activity[b][f].assign(row, row + kLocalSpeakers);
    }
  }
  return activity;
}

SegmentationProcessor::Activity SegmentationProcessor::powersetConversionFallback(
    const Scores& scores) const {
  const std::size_t frames = checkScores(scores);
  Activity activity(scores.size(), std::vector<std::vector<float>>(
                                       frames, std::vector<float>(kLocalSpeakers, 0.0f)));
  for (std::size_t b = 0; b < scores.size(); ++b) {
    for (std::size_t f = 0; f < frames; ++f) {
      if (const auto best = bestClass(scores[b][f])) {
        activity[b][f].assign(kPowerset[*best].begin(), kPowerset[*best].end());
      }
    }
  }
  return activity;
}

}  // namespace tesselaudio
