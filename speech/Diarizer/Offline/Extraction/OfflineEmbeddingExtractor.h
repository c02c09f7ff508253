#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <vector>

#include "platform/ml/MLFeatureDescription.h"
#include "platform/ml/MLModel.h"
#include "platform/ml/MLMultiArray.h"
#include "platform/sys/Channel.h"
#include "speech/Diarizer/Offline/Clustering/PLDATransform.h"
#include "speech/Diarizer/Offline/Core/OfflineDiarizerConfig.h"
#include "speech/Diarizer/Offline/Core/SegmentationChunk.h"
#include "speech/Diarizer/Offline/Core/SegmentationOutput.h"
#include "speech/Diarizer/Offline/Extraction/TimedEmbedding.h"
#include "speech/Shared/ANEMemoryOptimizer.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Shared/AudioSampleSource.h"

namespace tesselaudio {

// Turns audio windows into speaker embeddings for the offline diarizer with two models: FBANK
// (window samples → filter-bank features) and embedding (features + one weight per segmentation
// frame → 256 values), so one FBANK run of a window serves every local speaker in it; the streaming
// extraction also projects the embeddings through the PLDA transform. A value: copies share the
// models and the buffer pool. One extraction uses an extractor from one thread at a time.
//
//   auto extractor = OfflineEmbeddingExtractor::make(models.fbankModel, models.embeddingModel,
//                                                    PLDATransform(models.pldaRhoModel, models.pldaPsi),
//                                                    config);
//   if (!extractor) return;                       // a model breaks the contract (logged)
//   auto embeddings = extractor->extractEmbeddings(source, segmentation, stop);
//   auto spans = extractor->embedSpans(source, {{12.0, 15.5}, {40.0, 71.0}}, stop);  // one per span
//
// Model contract (the names are fixed, never taken from the model): FBANK input "audio" (float32,
// the window's samples in its last dimension) and output "fbank_features" read as [1, 1, bins,
// frames]; embedding inputs "fbank_features" and "weights" (float32, the frame weights in its last
// dimension) and output "embedding".
class OfflineEmbeddingExtractor {
 public:
  // The extractor for the two models, or nothing when a model lacks a required input or output:
  // the reason is then logged at error level (category "OfflineEmbedding") with one of
  // "FBANK model is missing `audio` multiarray input; required for offline pipeline",
  // "FBANK model missing `fbank_features` multiarray output",
  // "Embedding model missing `fbank_features` multiarray input",
  // "Embedding model missing `weights` multiarray input",
  // "Embedding model missing `embedding` multiarray output".
  // Logs the configured shapes at debug level. Never throws.
  // REQUIRES: both models are not null; `config` passed validate().
  static std::optional<OfflineEmbeddingExtractor> make(std::shared_ptr<const platform::MLModel> fbankModel,
                                                       std::shared_ptr<const platform::MLModel> embeddingModel,
                                                       std::optional<PLDATransform> pldaTransform,
                                                       const OfflineDiarizerConfig& config);

  const std::shared_ptr<const platform::MLModel>& fbankModel() const { return fbankModel_; }
  const std::shared_ptr<const platform::MLModel>& embeddingModel() const { return embeddingModel_; }
  const std::optional<PLDATransform>& pldaTransform() const { return pldaTransform_; }
  const OfflineDiarizerConfig& config() const { return config_; }
  // Shared by every copy of this extractor.
  ANEMemoryOptimizer& memoryOptimizer() const { return *memoryOptimizer_; }
  const std::string& fbankInputName() const { return fbankInputName_; }
  const std::string& fbankOutputName() const { return fbankOutputName_; }
  const std::string& fbankFeatureName() const { return fbankFeatureName_; }
  const std::string& weightInputName() const { return weightInputName_; }
  const std::string& embeddingOutputName() const { return embeddingOutputName_; }
  const std::vector<std::int64_t>& fbankInputShape() const { return fbankInputShape_; }
  const std::vector<std::int64_t>& weightInputShape() const { return weightInputShape_; }
  // Samples copied into one FBANK input (at least 1, at most one window).
  std::int64_t audioSampleCount() const { return audioSampleCount_; }
  // Weights copied into one weight input (at least 1).
  std::int64_t weightFrameCount() const { return weightFrameCount_; }
  // Windows per FBANK batch and embeddings per PLDA batch, 1 to 32.
  std::int64_t modelBatchLimit() const { return modelBatchLimit_; }

  // A new zero-filled FBANK input of fbankInputShape() holding the first min(its element count,
  // audioSampleCount(), `length`) samples of `chunkPointer`. Throws ANEMemoryError.
  std::shared_ptr<platform::MLMultiArray> prepareFbankInput(const float* chunkPointer, std::int64_t length) const;
  // A new zero-filled weight input of weightInputShape() holding the first min(its element count,
  // weightFrameCount(), weights.size()) weights. Throws ANEMemoryError.
  std::shared_ptr<platform::MLMultiArray> prepareWeightsInput(std::span<const float> weights) const;

  // The re-centred features of each input, in order, from one batch call of the FBANK model (none
  // for no input, without calling it).
  // Throws the model's MLModelError unchanged; OfflineDiarizationError::processingFailed ("FBANK
  // batch produced <n> outputs for <m> inputs", "FBANK model missing fbank_features output at batch
  // index <i>"); CancellationError when `stop` was requested before the call.
  std::vector<std::shared_ptr<platform::MLMultiArray>> runFbankBatch(
      const std::vector<std::shared_ptr<platform::MLMultiArray>>& audioArrays, std::stop_token stop = {}) const;
  // The same for one input; processingFailed ("FBANK model produced no output") for an empty result.
  std::shared_ptr<platform::MLMultiArray> runFbankModel(const std::shared_ptr<platform::MLMultiArray>& audioArray,
                                                        std::stop_token stop = {}) const;

  // One embedding per feature array, in order, all with the one `weightsArray`, from one batch call
  // of the embedding model (none for no features, without calling it).
  // Throws the model's MLModelError unchanged; processingFailed ("Embedding batch produced <n>
  // outputs for <m> inputs", "Embedding model missing embedding output"); CancellationError.
  std::vector<std::vector<float>> runEmbeddingBatch(const std::vector<std::shared_ptr<platform::MLMultiArray>>& fbankFeatures,
                                                    const std::shared_ptr<platform::MLMultiArray>& weightsArray,
                                                    std::stop_token stop = {}) const;
  // The same for one feature array; processingFailed ("Embedding model produced no output") for an
  // empty result.
  std::vector<float> runEmbeddingModel(const std::shared_ptr<platform::MLMultiArray>& fbankFeatures,
                                       const std::shared_ptr<platform::MLMultiArray>& weightsArray,
                                       std::stop_token stop = {}) const;

  // Subtracts, in every bin of `features` ([1, 1, bins, frames], float32), the mean over the frames
  // whose samples in `audio` (the FBANK input it came from) are not all zero, from every frame.
  // Leaves the features alone when every frame or no frame is silent, or when either array is not
  // float32 or the features are not four-dimensional. Never fails.
  static void recenterOnSignal(platform::MLMultiArray& features, const platform::MLMultiArray& audio);

  // The constraint's declared last dimension when at least 1, else its second-to-last when at
  // least 1, else `fallback` (also for no constraint or an empty declared shape).
  static std::int64_t resolveElementCount(const std::optional<platform::MLMultiArrayConstraint>& constraint,
                                          std::int64_t fallback);
  // The rank of the first enumerated shape, else of the declared shape, else the number of size
  // ranges (0 when none).
  static std::int64_t dimensionHint(const platform::MLMultiArrayConstraint& constraint);
  // The first enumerated shape, else the declared shape, sanitised against `fallback`; else the
  // size ranges' lower bounds (fallback values where a bound is below 1); else `fallback`. Every
  // dimension is at least 1.
  static std::vector<std::int64_t> sanitizedShape(const platform::MLMultiArrayConstraint& from,
                                                  const std::vector<std::int64_t>& fallback);
  // `shape` with each dimension below 1 replaced by max(1, fallback[i]) (the fallback's last value
  // past its end, 1 for an empty fallback); an empty shape gives the fallback raised to at least 1.
  static std::vector<std::int64_t> sanitizedShape(const std::vector<std::int64_t>& shape,
                                                  const std::vector<std::int64_t>& fallback);

  // Writes "[Profiling] " + line + "\n" to standard error in one write; a failed write is logged at
  // warning level. Never throws.
  static void emitProfileLog(const std::string& line);

  // Embeds every local speaker of every chunk read from `segmentationStream` while the producer
  // still segments: each chunk's window of `audioSource` goes through FBANK (up to
  // modelBatchLimit() windows per call), each speaker whose mask passes the activity rules through
  // the embedding model, and the embeddings through the PLDA transform (modelBatchLimit() per
  // call). Logs the mask counts at debug level and, when a window was read, a "[Profiling]
  // Embedding timings: ..." line on standard error.
  // Returns one TimedEmbedding per embedded (chunk, speaker) pair, in arrival order, then speaker
  // order. Throws the stream's error and the source's read error unchanged; CancellationError once
  // `stop` is requested (checked per chunk and while waiting); OfflineDiarizationError::
  // modelNotLoaded ("PLDA transform") when a PLDA batch is due without a transform; the model,
  // buffer and PLDA errors unchanged. Nothing is returned on failure.
  std::vector<TimedEmbedding> extractEmbeddings(const AudioSampleSource& audioSource,
                                                platform::Channel<SegmentationChunk>::Receiver& segmentationStream,
                                                std::stop_token stop = {}) const;
  // The same over the windows of a finished segmentation; indices beyond speakerWeights and
  // windows without frames are skipped.
  std::vector<TimedEmbedding> extractEmbeddings(const AudioSampleSource& audioSource,
                                                const SegmentationOutput& segmentation,
                                                std::stop_token stop = {}) const;
  // The same for samples held in memory.
  std::vector<TimedEmbedding> extractEmbeddings(const std::vector<float>& audio, const SegmentationOutput& segmentation,
                                                std::stop_token stop = {}) const;

  // A stretch [start, end) of the recording in seconds that one speaker holds throughout.
  struct Span {
    double startSeconds = 0;
    double endSeconds = 0;

    bool operator==(const Span&) const = default;
  };

  // The embedding of the audio in [startSeconds, endSeconds), every frame weighted fully. Only the
  // first window of a longer span is embedded; a span shorter than a window is repeated end to end
  // until it fills one. A span reaching past the end of the audio is cut there, a negative start
  // raised to sample 0.
  // Throws OfflineDiarizationError: invalidSpan for bounds that are not finite, reversed or start at
  // or after the end of the audio; processingFailed when the span covers no whole sample;
  // invalidConfiguration when a window is shorter than one sample. Throws CancellationError when
  // `stop` is requested, ANEMemoryError when an input cannot be allocated, the model errors of
  // runFbankBatch and runEmbeddingBatch unchanged.
  std::vector<float> embedSpan(const AudioSampleSource& audioSource, double startSeconds, double endSeconds,
                               std::stop_token stop = {}) const;
  // One embedding per span, in order. A span longer than a window is cut into equal pieces no
  // longer than a window, each embedded as embedSpan embeds a short span, and its embedding is
  // their mean. Pieces of all spans share the model batches. An empty list gives an empty list
  // without any model call.
  // Throws as embedSpan, for the first bad span; nothing is returned on failure.
  std::vector<std::vector<float>> embedSpans(const AudioSampleSource& audioSource, const std::vector<Span>& spans,
                                             std::stop_token stop = {}) const;

 private:
  class Extraction;

  OfflineEmbeddingExtractor(std::shared_ptr<const platform::MLModel> fbankModel,
                            std::shared_ptr<const platform::MLModel> embeddingModel,
                            std::optional<PLDATransform> pldaTransform, const OfflineDiarizerConfig& config);

  // Fills in the names and shapes from the models; false, after logging why, when one is missing.
  bool configure();
  void performEmbeddingWarmup(std::stop_token stop) const;

  // Half-open range of sample indices.
  struct SampleRange {
    std::int64_t lower = 0;
    std::int64_t upper = 0;

    std::int64_t length() const { return upper - lower; }
  };
  // Samples of one span, tagged with the span's position in the caller's list.
  struct Piece {
    std::size_t spanIndex = 0;
    SampleRange samples;
  };

  // One embedding per span from its pieces' mean; an empty embedding for a span without a piece.
  std::vector<std::vector<float>> embedWindows(const AudioSampleSource& audioSource, const std::vector<Piece>& pieces,
                                               std::size_t spanCount, std::stop_token stop) const;
  // The samples of [startSeconds, endSeconds), limited to 0 ... sampleCount. Throws the span errors.
  static SampleRange sampleRange(double startSeconds, double endSeconds, std::int64_t sampleRate,
                                 std::int64_t sampleCount);
  // `range` cut into ceil(length / windowLength) pieces of equal length up to one sample; none for
  // an empty range or a window below one sample.
  static std::vector<SampleRange> spanPieces(SampleRange range, std::int64_t windowLength);

  std::shared_ptr<const platform::MLModel> fbankModel_;
  std::shared_ptr<const platform::MLModel> embeddingModel_;
  std::optional<PLDATransform> pldaTransform_;
  OfflineDiarizerConfig config_;
  AppLogger logger_;
  std::shared_ptr<ANEMemoryOptimizer> memoryOptimizer_;
  std::string fbankInputName_ = "audio";
  std::string fbankOutputName_ = "fbank_features";
  std::string fbankFeatureName_ = "fbank_features";
  std::string weightInputName_ = "weights";
  std::vector<std::int64_t> fbankInputShape_;
  std::vector<std::int64_t> weightInputShape_;
  std::int64_t audioSampleCount_ = 1;
  std::int64_t weightFrameCount_ = 1;
  std::int64_t modelBatchLimit_ = 1;
  std::string embeddingOutputName_ = "embedding";
};

}  // namespace tesselaudio
