#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/ml/MLModel.h"
#include "speech/Diarizer/Clustering/SpeakerManager.h"
#include "speech/Diarizer/Core/AudioValidationResult.h"
#include "speech/Diarizer/Core/DiarizationResult.h"
#include "speech/Diarizer/Core/DiarizerConfig.h"
#include "speech/Diarizer/Core/DiarizerModels.h"
#include "speech/Diarizer/Extraction/EmbeddingExtractor.h"
#include "speech/Diarizer/Segmentation/SegmentationProcessor.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Speaker/Speaker.h"

namespace tesselaudio {

// The front of the chunked segmentation-and-embedding diarizer. It cuts 16 kHz mono audio into
// chunks (10 s by default), finds up to three local speakers per frame of each chunk, embeds each
// local speaker, matches the embeddings against its speaker database (which hands out the ids "1",
// "2", ...) and turns the frame activity into timed segments. The speaker database lives in the
// manager and carries over from one run to the next; nothing is written to disk. No locks and no
// threads: one caller at a time; separate managers are independent.
//
//   DiarizerManager diarizer(DiarizerConfig::default_());
//   diarizer.initialize(DiarizerModels::downloadIfNeeded());
//   auto result = diarizer.performCompleteDiarization(samples);
//   for (const auto& segment : result.segments) use(segment.speakerId, segment.startTimeSeconds);
class DiarizerManager {
 public:
  // The only sample rate the models take.
  static constexpr std::int64_t kSampleRate = 16000;
  // Seconds from one segmentation frame to the next (270 samples).
  static constexpr double kFrameStepSeconds = 0.016875;

  // Progress of a run, from 0 to 1.
  using ProgressHandler = std::function<void(double fraction)>;

  explicit DiarizerManager(DiarizerConfig config = DiarizerConfig::default_());
  DiarizerManager(const DiarizerManager&) = delete;
  DiarizerManager& operator=(const DiarizerManager&) = delete;

  const DiarizerConfig& config() const { return config_; }

  // Takes the models over and builds an embedding extractor on them; a second call replaces both.
  void initialize(DiarizerModels models);
  // Drops the models, so that the manager is not available until the next initialize. The
  // embedding extractor and the speaker database stay.
  void cleanup();
  bool isAvailable() const { return models_.has_value(); }
  // The segmentation model of the models, when there are any.
  std::shared_ptr<const platform::MLModel> segmentationModel() const;

  SegmentationProcessor& segmentationProcessor() { return segmentationProcessor_; }
  std::shared_ptr<EmbeddingExtractor> embeddingExtractor() const { return embeddingExtractor_; }
  void setEmbeddingExtractor(std::shared_ptr<EmbeddingExtractor> extractor) {
    embeddingExtractor_ = std::move(extractor);
  }
  // The speaker database, to read, edit or replace between runs.
  const SpeakerManager& speakerManager() const { return speakerManager_; }
  SpeakerManager& speakerManager() { return speakerManager_; }
  void setSpeakerManager(SpeakerManager speakerManager) { speakerManager_ = std::move(speakerManager); }

  // The checks of AudioValidation.
  bool validateEmbedding(std::span<const float> embedding) const;
  AudioValidationResult validateAudio(std::span<const float> samples) const;

  // Seeds the speaker database: stored speakers are kept, permanent ones protected.
  void initializeKnownSpeakers(const std::vector<Speaker>& speakers);

  // The embedding of a whole stretch of 16 kHz audio, as one local speaker active in every frame.
  // Throws DiarizerError::notInitialized without models or extractor; invalidAudioData for no
  // samples; processingFailed("Cannot determine segmentation frame count from model output shape")
  // when the segmentation model declares no usable "segments" shape; embeddingExtractionFailed when
  // nothing comes back; the extractor's and the model's errors unchanged. Audio shorter than the
  // model's 10 s window is repeated to fill it.
  std::vector<float> extractSpeakerEmbedding(std::span<const float> from);

  // Diarizes `samples` (16 kHz mono) chunk by chunk; every time in the result is shifted by `atTime`
  // seconds. `progressHandler` hears the share done after each chunk and 1.0 at the end. Each chunk's
  // segments are sorted by start; chunks follow one another unmerged. The speaker database keeps what
  // the run taught it, also when the run fails. With debugMode the result carries the speaker
  // database and the stage timings; with exposeChunkEmbeddings one entry per chunk and speaker.
  // Throws, before any chunk: DiarizerError::notInitialized without models; invalidAudioData for a
  // sample rate other than 16,000; processingFailed for a chunkDuration or chunkOverlap that is not
  // finite, a chunkDuration that rounds to no whole second or to more than 10, an overlap that leaves
  // no step forward, or values whose sample counts leave the 64-bit range. During the run: the
  // models' and the extractor's errors, which end it at that chunk; notInitialized when the embedding
  // extractor has been taken away.
  DiarizationResult performCompleteDiarization(std::span<const float> samples, std::int64_t sampleRate = kSampleRate,
                                               double atTime = 0, const ProgressHandler& progressHandler = {});

 private:
  struct ChunkTimings {
    double segmentationSeconds = 0;
    double embeddingExtractionSeconds = 0;
    double speakerClusteringSeconds = 0;
  };
  struct ChunkResult {
    std::vector<TimedSpeakerSegment> segments;
    std::vector<ChunkEmbedding> chunkEmbeddings;
    ChunkTimings timings;
  };
  // Where the chunks lie, in samples.
  struct ChunkPlan {
    std::int64_t chunkSize = 0;
    std::int64_t step = 0;
  };

  ChunkPlan planChunks(std::int64_t sampleRate) const;
  ChunkResult processChunkWithSpeakerTracking(std::span<const float> chunk, std::int64_t chunkIndex,
                                              double chunkOffset, const DiarizerModels& models,
                                              std::int64_t chunkSize, std::vector<float>& chunkBuffer);
  // One speaker id per slot, "" where the slot has none.
  std::vector<std::string> assignSpeakers(const std::vector<std::vector<float>>& embeddings,
                                          const std::vector<float>& activities);
  std::vector<TimedSpeakerSegment> createTimedSegments(const SegmentationProcessor::Activity& segments,
                                                       double chunkOffset,
                                                       const std::vector<std::vector<float>>& embeddings,
                                                       const std::vector<std::string>& speakerIds,
                                                       const std::vector<float>& activities) const;
  std::vector<ChunkEmbedding> chunkEmbeddingsOf(const SegmentationProcessor::Activity& segments,
                                                std::int64_t chunkIndex, double chunkOffset,
                                                const std::vector<std::vector<float>>& embeddings,
                                                const std::vector<std::string>& speakerIds) const;

  AppLogger logger_;
  DiarizerConfig config_;
  std::optional<DiarizerModels> models_;
  SegmentationProcessor segmentationProcessor_;
  std::shared_ptr<EmbeddingExtractor> embeddingExtractor_;
  SpeakerManager speakerManager_;
};

}  // namespace tesselaudio
