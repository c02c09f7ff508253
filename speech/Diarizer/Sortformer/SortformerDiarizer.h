#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <vector>

#include "platform/ml/MLComputeUnits.h"
#include "speech/Diarizer/Diarizer.h"
#include "speech/Diarizer/DiarizerTimelineConfig.h"
#include "speech/Diarizer/Sortformer/SortformerConfig.h"
#include "speech/Diarizer/Sortformer/SortformerModels.h"
#include "speech/Diarizer/Sortformer/SortformerStateUpdater.h"
#include "speech/Diarizer/Sortformer/SortformerStreamingState.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Shared/AudioMelSpectrogram.h"

namespace tesselaudio {

// The streaming end-to-end Sortformer speaker diarizer. Audio of any rate, in pieces of any size,
// is resampled to 16 kHz and turned into log-mel frames incrementally (each frame computed once);
// every chunk of chunkLen frames whose right context has arrived runs through the model together
// with the session's speaker cache and FIFO, and the final and tentative probabilities go to the
// shared DiarizerTimeline. Besides streaming it diarizes whole recordings (processComplete),
// enrolls named speakers from a sample of their voice, and flushes the tail at the end of a
// session (finalizeSession).
//
// Safe from any thread: one mutex guards the diarizer and is held for a whole operation, model
// inference included. The lock order is the diarizer's, then the timeline's, then one speaker's;
// readers of timeline() never wait for a chunk to finish running except while it is handed over.
//
//   auto diarizer = std::make_shared<SortformerDiarizer>(SortformerConfig::balancedV2_1());
//   diarizer->initialize(SortformerModels::loadFromHuggingFace(config, folder, {}, {}, stop));
//   while (recording) diarizer->process(samples, 48000.0);   // per buffer
//   diarizer->finalizeSession();
//   for (const auto& [slot, speaker] : diarizer->timeline()->speakers()) ...
class SortformerDiarizer final : public Diarizer {
 public:
  // No models yet; an empty session and timeline. The timeline takes `timelineConfig` with its
  // numSpeakers replaced by config.numSpeakers. Logs nothing, cannot fail.
  explicit SortformerDiarizer(
      const SortformerConfig& config,
      const DiarizerTimelineConfig& timelineConfig = DiarizerTimelineConfig::sortformerDefault());

  SortformerDiarizer(const SortformerDiarizer&) = delete;
  SortformerDiarizer& operator=(const SortformerDiarizer&) = delete;

  // Compiles and loads the uncompiled model at `mainModelPath` (outside the lock), then starts a
  // fresh session with it. A model exported for other chunk settings is logged as an error and
  // used all the same. Throws what SortformerModels::load throws; the diarizer is unchanged then.
  void initialize(const std::filesystem::path& mainModelPath,
                  std::optional<platform::MLComputeUnits> computeUnits = std::nullopt,
                  std::stop_token stop = {});
  // The same with a loaded model set, which the diarizer keeps a copy of (sharing its buffers:
  // no one else may run it while the diarizer lives).
  void initialize(const SortformerModels& models);

  const SortformerConfig& config() const { return config_; }
  // A copy of the session's speaker cache and FIFO.
  SortformerStreamingState state() const;

  bool isAvailable() const override;
  // Frames handed to the timeline as final in this session.
  std::int64_t numFramesProcessed() const override;
  std::optional<std::int64_t> targetSampleRate() const override { return config_.sampleRate; }
  // 1 ÷ (subsamplingFactor × melStride ÷ sampleRate in single precision): 12.50000028 for the
  // presets.
  std::optional<double> modelFrameHz() const override;
  std::optional<std::int64_t> numSpeakers() const override { return config_.numSpeakers; }
  std::shared_ptr<DiarizerTimeline> timeline() const override;

  // Appends samples already at targetSampleRate() and computes the mel frames they complete.
  // After finalizeSession() the samples are dropped, with one warning per session.
  void addAudio(std::span<const float> samples);
  // The same after resampling from `sourceSampleRate` when it is present and differs. Throws
  // AudioConverterError (nothing appended) when the rate is not positive and finite or the
  // conversion fails.
  void addAudio(std::span<const float> samples, std::optional<double> sourceSampleRate) override;

  // Runs every chunk whose right context has arrived and hands their probabilities to the
  // timeline as one chunk result; returns the timeline's update, or nothing when no chunk ran.
  // Throws SortformerError::notInitialized without models, the model's or the state update's
  // error, or CancellationError. After a failure the chunks that ran are in the timeline and the
  // failed chunk's frames count as silence, so later frames keep their place in time.
  std::optional<DiarizerTimelineUpdate> process(std::stop_token stop = {}) override;
  // addAudio() then process() under one lock. Returns nothing, running no chunk, when the audio is
  // dropped after the end of the session. Audio appended before a throw stays buffered.
  std::optional<DiarizerTimelineUpdate> process(std::span<const float> samples,
                                                std::optional<double> sourceSampleRate,
                                                std::stop_token stop = {}) override;

  // Diarizes `samples` as a whole recording and rebuilds the timeline from the result, which it
  // returns. `keepingEnrolledSpeakers`: true keeps the session's speakers and streaming state,
  // false starts afresh, absent keeps them only when nothing was streamed or run since the last
  // reset or enrollment. With `finalizeOnCompletion` the timeline's tail becomes final.
  // `progressCallback` is called after every chunk, on the caller's thread, with the diarizer's
  // lock held: it must not call the diarizer. Throws notInitialized, the converter's, model's or
  // state update's error, or CancellationError.
  std::shared_ptr<DiarizerTimeline> processComplete(std::span<const float> samples,
                                                    std::optional<double> sourceSampleRate,
                                                    std::optional<bool> keepingEnrolledSpeakers,
                                                    bool finalizeOnCompletion,
                                                    ProgressCallback progressCallback,
                                                    std::stop_token stop = {}) override;
  // The same for the whole audio of a file, read and resampled first; the file reader's errors
  // propagate.
  std::shared_ptr<DiarizerTimeline> processComplete(const std::filesystem::path& audioFileURL,
                                                    std::optional<bool> keepingEnrolledSpeakers,
                                                    bool finalizeOnCompletion,
                                                    ProgressCallback progressCallback,
                                                    std::stop_token stop = {}) override;

  // A fresh session with the same models: new streaming state, empty buffers, counters at 0, the
  // timeline emptied of its speakers.
  void reset() override;
  // reset() and the models dropped; isAvailable() becomes false.
  void cleanup() override;

  // Runs a sample of one voice through the model and names the speaker slot it lands in; the
  // streaming state keeps the voice for the session that follows (see the .cpp for the steps).
  // Returns the speaker now named `named`, or null after a warning when the audio is empty, too
  // short, holds no speech, or lands in a slot named otherwise while
  // !overwritingAssignedSpeakerName. Throws notInitialized without models (for non-empty audio),
  // and the converter's, model's or state update's error.
  std::shared_ptr<DiarizerSpeaker> enrollSpeaker(std::span<const float> withAudio,
                                                 std::optional<double> sourceSampleRate,
                                                 std::optional<std::string> named,
                                                 bool overwritingAssignedSpeakerName,
                                                 std::stop_token stop = {}) override;

  // Pads and processes the tail of the audio, hands every remaining frame to the timeline as
  // final and finalizes it; returns the last update, or nothing. A second call returns nothing
  // and changes nothing; audio is dropped until reset(). Throws notInitialized without models,
  // and what process() throws (with the same care for the frames that ran).
  std::optional<DiarizerTimelineUpdate> finalizeSession(std::stop_token stop = {}) override;

 private:
  // One chunk cut from the feature buffer; offsets are the context present, in mel frames.
  struct StreamingChunk {
    std::vector<float> mel;
    std::int64_t melLength = 0;
    std::int64_t leftOffset = 0;
    std::int64_t rightOffset = 0;
  };
  // Probabilities collected over the chunks of one call.
  struct ChunkPredictions {
    std::vector<float> finalized;
    std::int64_t finalizedFrames = 0;
    std::vector<float> tentative;
  };

  std::vector<float> normalizeSamples(std::span<const float> samples,
                                      std::optional<double> sourceSampleRate) const;
  void validateConfigMatch(const SortformerModels& models) const;
  void storeModels(const SortformerModels& models);

  // Bodies of the operations; mutex_ held.
  void resetMelStreamLocked();
  void resetBuffersLocked(bool keepingSpeakers);
  bool appendAudioLocked(std::span<const float> samples);
  void preprocessAudioToFeaturesLocked();
  void emitMelFramesLocked(std::int64_t count);
  void padAndEmitRemainingMelLocked();
  std::optional<StreamingChunk> getNextChunkFeaturesLocked(bool isFinal);
  // Runs one chunk through the model and the state updater, adding to `into`.
  void runChunkLocked(const std::vector<float>& mel, std::int64_t melLength,
                      std::int64_t leftOffset, std::int64_t rightOffset, ChunkPredictions& into);
  // Runs every complete chunk, adding to `into`. When a chunk fails or a stop is requested, its
  // core frames are added as zeros before the error is thrown.
  void makeStreamingChunkLocked(bool isFinal, ChunkPredictions& into, std::stop_token stop);
  std::optional<DiarizerTimelineUpdate> processLocked(std::stop_token stop);
  std::optional<DiarizerTimelineUpdate> handOverLocked(const ChunkPredictions& predictions);
  std::shared_ptr<DiarizerTimeline> processCompleteLocked(std::span<const float> audio,
                                                          std::optional<bool> keepingEnrolledSpeakers,
                                                          bool finalizeOnCompletion,
                                                          const ProgressCallback& progressCallback,
                                                          std::stop_token stop);
  std::shared_ptr<DiarizerSpeaker> enrollLocked(std::vector<float> audio,
                                                const std::optional<std::string>& named,
                                                bool overwritingAssignedSpeakerName,
                                                std::stop_token stop);

  // Constant after construction.
  const SortformerConfig config_;
  const AppLogger logger_;
  const SortformerStateUpdater stateUpdater_;
  const std::shared_ptr<DiarizerTimeline> timeline_;

  // Guarded by mutex_.
  mutable std::mutex mutex_;
  SortformerStreamingState state_;
  std::int64_t numFramesProcessed_ = 0;
  // 16 kHz samples of real audio since the last reset of the mel stream (padding not counted).
  std::int64_t realSamplesReceived_ = 0;
  bool finalized_ = false;
  std::optional<SortformerModels> models_;
  AudioMelSpectrogram melSpectrogram_;
  // Samples not yet consumed by mel framing; a stream starts with nFFT ÷ 2 zeros, so that mel
  // frame i is centred on real sample i × melStride.
  std::vector<float> audioBuffer_;
  // The sample before audioBuffer_'s first, for the pre-emphasis filter.
  float lastAudioSample_ = 0;
  std::int64_t melFramesEmitted_ = 0;
  // The tail has been flushed; audio is refused.
  bool melInputExhausted_ = false;
  bool warnedDroppedAudio_ = false;
  // Mel frames not yet consumed: the next chunk's left context and everything newer.
  std::vector<float> featureBuffer_;
  // Mel frame within featureBuffer_ of the next chunk's first core frame.
  std::int64_t startFeat_ = 0;
  std::int64_t diarizerChunkIndex_ = 0;
};

}  // namespace tesselaudio
