#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "platform/ml/MLFeatureProvider.h"
#include "platform/ml/MLModel.h"
#include "speech/Shared/ANEMemoryOptimizer.h"
#include "speech/Shared/AppLogger.h"

namespace tesselaudio {

// Runs the speaker-segmentation model on one chunk of 16 kHz mono audio and turns its per-frame
// powerset scores into the activity of three local speakers. The model scores seven classes per
// frame: nobody (0), speaker 0, 1 or 2 alone (1 to 3), or the pairs 0+1, 0+2, 1+2 (4 to 6); the
// best class of a frame becomes three flags of 0.0 or 1.0. One caller at a time.
//
//   SegmentationProcessor processor;
//   auto output = processor.getSegments(chunk, *models.segmentationModel, 160000);
//   float speaker1InFrame10 = output.segments[0][10][1];
//
// Model contract: input "audio", float32 [1, 1, chunk size]; output "segments", float32
// [1, frames, classes] with at most seven classes.
class SegmentationProcessor {
 public:
  // Activity indexed by batch, frame and local speaker.
  using Activity = std::vector<std::vector<std::vector<float>>>;
  // Class scores indexed by batch, frame and class.
  using Scores = std::vector<std::vector<std::vector<float>>>;

  struct Output {
    // One batch of frames of three flags.
    Activity segments;
    // The model's outputs, owned by the caller.
    std::unique_ptr<platform::MLFeatureProvider> featureProvider;
  };

  SegmentationProcessor();
  SegmentationProcessor(const SegmentationProcessor&) = delete;
  SegmentationProcessor& operator=(const SegmentationProcessor&) = delete;

  // Runs `segmentationModel` on the first `chunkSize` samples of `audioChunk` (zero-padded when
  // shorter). Throws ANEMemoryError when the input cannot be allocated, the prediction's
  // MLModelError unchanged, and DiarizerError::processingFailed when the output "segments" is
  // missing, has fewer than three dimensions, no frames or more than seven classes.
  Output getSegments(std::span<const float> audioChunk, const platform::MLModel& segmentationModel,
                     std::int64_t chunkSize);

  // The two conversions of class scores into activity that getSegments chooses between: on one
  // aligned buffer, or on nested lists when that buffer cannot be had. Both give the same result;
  // on equal scores the lowest class wins, and a frame without scores is all zeros. Throw
  // DiarizerError::processingFailed when there is no batch, batches differ in frame count, or a
  // frame has more than seven scores.
  Activity powersetConversionOptimized(const Scores& scores) const;
  Activity powersetConversionFallback(const Scores& scores) const;

 private:
  AppLogger logger_;
  ANEMemoryOptimizer memoryOptimizer_;
};

}  // namespace tesselaudio
