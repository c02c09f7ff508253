#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stop_token>
#include <vector>

#include "speech/Diarizer/Nemotron3/Nemotron3ChunkResult.h"
#include "speech/Diarizer/Nemotron3/Nemotron3ChunkWindow.h"
#include "speech/Diarizer/Nemotron3/Nemotron3Config.h"
#include "speech/Diarizer/Nemotron3/Nemotron3Models.h"
#include "speech/Diarizer/Nemotron3/Nemotron3Segment.h"
#include "speech/Diarizer/Nemotron3/Nemotron3StateUpdater.h"
#include "speech/Diarizer/Nemotron3/Nemotron3StreamingFrontend.h"
#include "speech/Diarizer/Nemotron3/Nemotron3StreamingState.h"
#include "speech/Shared/AppLogger.h"

namespace tesselaudio {

// The Nemotron 3 speaker diarizer: 10 ms probabilities of up to eight speakers for a whole 16 kHz
// mono buffer (optionally skipping chunks a speech mask marks silent) or for a stream, chunk by
// chunk, with a speaker cache and FIFO carried between chunks. Probabilities are flat and
// frame-major (frame × numSpeakers + speaker), one frame per 10 ms mel frame. Serves one caller
// at a time and takes no lock; its chunks run one after another on the shared model buffers.
//
//   Nemotron3Diarizer diarizer(Nemotron3Config::offline(), models);
//   auto [probabilities, frameCount] = diarizer.processComplete(samples);
//   auto turns = Nemotron3Diarizer::segments(probabilities, frameCount, 8, 0.5f, 0.01f, 0.3f);
class Nemotron3Diarizer {
 public:
  // Timings of one whole-buffer run, in seconds, and its chunk counts.
  struct PipelineProfile {
    double melSeconds = 0;
    double chunkSliceSeconds = 0;
    double inferenceSeconds = 0;
    double inputPrepSeconds = 0;
    double predictSeconds = 0;
    double readbackSeconds = 0;
    double stateUpdateSeconds = 0;
    double outputAppendSeconds = 0;
    double totalSeconds = 0;
    // Chunks run through the model.
    std::int64_t chunkCount = 0;
    // Chunks skipped by the speech mask.
    std::int64_t skippedChunks = 0;

    bool operator==(const PipelineProfile&) const = default;
  };

  struct CompleteResult {
    std::vector<float> probabilities;
    std::int64_t frameCount = 0;
  };

  Nemotron3Diarizer(const Nemotron3Config& config, Nemotron3Models models);
  Nemotron3Diarizer(const Nemotron3Diarizer&) = delete;
  Nemotron3Diarizer& operator=(const Nemotron3Diarizer&) = delete;

  // Starts afresh (abandoning any stream) and diarizes `audio` whole: one value per speaker for
  // each mel frame of the buffer. With `speechMask` (one value per mel frame, true = speech, any
  // length) a chunk whose core frames hold no true value is not run: it gives zeros and leaves
  // the speaker cache and FIFO as they were. Sets lastProfile() on success.
  // Throws the model's error (lastProfile() unchanged; the state keeps the chunks run before),
  // CancellationError when `stop` is requested between chunks.
  CompleteResult processComplete(std::span<const float> audio,
                                 const std::optional<std::vector<bool>>& speechMask = std::nullopt,
                                 std::stop_token stop = {});

  // Queues samples for streaming. Ignored after finishStream() until reset() or processComplete().
  void appendAudio(std::span<const float> samples);

  // Runs every chunk the queued audio completes. Results held back by a failed call come first.
  // On a model error the results of the chunks run so far, followed by zeros for the failed
  // chunk's frames, are kept for the next streaming call, and the error is thrown; so frames
  // returned stay aligned with the audio. CancellationError (checked between chunks) likewise
  // keeps the results so far.
  std::vector<Nemotron3ChunkResult> processBufferedAudio(std::stop_token stop = {});

  // Ends the stream and runs what is left; an empty list, without a model call, once it has all
  // run. After a failed or cancelled call the next one hands out what was held back and goes on
  // with the windows left. Never yields more frames in all than mel frames were computed. Errors
  // as processBufferedAudio().
  std::vector<Nemotron3ChunkResult> finishStream(std::stop_token stop = {});

  // Empties state, front end and held-back results; keeps lastProfile().
  void reset();

  // Runs one window prepared by the caller (features of capacity mel frames, zero-padded; valid
  // length and context offsets in mel frames) and returns its new frames. Advances the speaker
  // state only. Throws the model's or the state update's error.
  Nemotron3ChunkResult step(std::span<const float> chunkFeatures, std::int64_t chunkMelLength,
                            std::int64_t leftOffsetMel, std::int64_t rightOffsetMel);

  // Stretches where a speaker's probability is above `threshold` (strictly) lasting at least
  // `minDurationSeconds`, sorted by start (stable: equal starts keep speaker order). A stretch open
  // at the last frame ends at frameCount × frameSeconds. No segments when a count is negative or
  // `probabilities` holds fewer than frameCount × numSpeakers values.
  static std::vector<Nemotron3Segment> segments(std::span<const float> probabilities, std::int64_t frameCount,
                                                std::int64_t numSpeakers, float threshold, float frameSeconds,
                                                float minDurationSeconds);

  const Nemotron3Config& config() const { return config_; }
  // 10 ms frames returned by the streaming calls since the last reset.
  std::int64_t streamedFrameCount() const { return streamedFrameCount_; }
  const PipelineProfile& lastProfile() const { return lastProfile_; }
  // The speaker cache and FIFO.
  const Nemotron3StreamingState& state() const { return state_; }

 private:
  Nemotron3ChunkResult chunkStep(std::span<const float> features, std::int64_t length, std::int64_t leftOffset,
                                 std::int64_t rightOffset, PipelineProfile* profile = nullptr);
  // The zeros a skipped chunk gives: as many frames as its state update would have returned.
  std::int64_t skippedFrameCount(const Nemotron3ChunkWindow& window) const;
  std::vector<Nemotron3ChunkResult> runChunks(bool final, std::stop_token stop);
  // Caps a final result so the stream never yields more frames than mel frames were computed.
  void capFinal(Nemotron3ChunkResult& result) const;
  void resetStream();

  Nemotron3Config config_;
  Nemotron3Models models_;
  Nemotron3StateUpdater updater_;
  Nemotron3StreamingState state_;
  AppLogger logger_;
  Nemotron3StreamingFrontend frontend_;
  bool streamFinished_ = false;
  std::int64_t streamedFrameCount_ = 0;
  PipelineProfile lastProfile_;
  // Results of a streaming call that failed, handed out first by the next one.
  std::vector<Nemotron3ChunkResult> heldResults_;
};

}  // namespace tesselaudio
