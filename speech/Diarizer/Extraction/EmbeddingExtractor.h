#pragma once

#include <memory>
#include <span>
#include <vector>

#include "platform/ml/MLModel.h"
#include "platform/ml/MLMultiArray.h"
#include "speech/Shared/ANEMemoryOptimizer.h"
#include "speech/Shared/AppLogger.h"

namespace tesselaudio {

// Turns a stretch of 16 kHz mono audio and one frame mask per speaker into one 256-value speaker
// embedding per mask with the WeSpeaker model: a mask weights the segmentation frames in which its
// speaker talks, so that the model pools only that speaker's speech. One caller at a time; a call
// uses only buffers it allocates itself.
//
//   EmbeddingExtractor extractor(models.embeddingModel);
//   auto embeddings = extractor.getEmbeddings(chunk, {mask0, mask1, mask2}, 10.0f);
//
// Model contract: inputs "waveform", float32 [3, 160000] (row 0 carries the audio) and "mask",
// float32 [3, F] (row 0 carries the mask); output "embedding", whose first 256 values are read.
class EmbeddingExtractor {
 public:
  static constexpr int kEmbeddingSize = 256;

  // REQUIRES: embeddingModel is not null.
  explicit EmbeddingExtractor(std::shared_ptr<const platform::MLModel> embeddingModel);
  EmbeddingExtractor(const EmbeddingExtractor&) = delete;
  EmbeddingExtractor& operator=(const EmbeddingExtractor&) = delete;

  // One embedding per mask, in mask order. Audio shorter than 10 s is repeated to fill the window,
  // and the part of each mask that real audio covers is repeated with it. A mask whose weights sum
  // below `minActivityThreshold` never reaches the model and gives 256 zeros, as does a model run
  // without an "embedding" output; an output shorter than 256 values is zero-filled behind what it
  // has. Throws DiarizerError::processingFailed before any work when the masks differ in length,
  // ANEMemoryError when a buffer cannot be allocated and the prediction's MLModelError unchanged;
  // no partial list is returned.
  std::vector<std::vector<float>> getEmbeddings(std::span<const float> audio,
                                                const std::vector<std::vector<float>>& masks,
                                                float minActivityThreshold);

 private:
  // Writes the audio into row 0 onwards, repeating it through row 0 when it is shorter.
  void fillWaveformBuffer(std::span<const float> audio, platform::MLMultiArray& waveform) const;
  // The first 256 values of the output "embedding", or zeros where it has none.
  std::vector<float> extractEmbeddingOptimized(const platform::MLFeatureProvider& outputs) const;

  std::shared_ptr<const platform::MLModel> wespeakerModel_;
  AppLogger logger_;
  ANEMemoryOptimizer memoryOptimizer_;
};

}  // namespace tesselaudio
