#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "speech/Diarizer/Nemotron3/Nemotron3ChunkResult.h"
#include "speech/Diarizer/Nemotron3/Nemotron3Config.h"
#include "speech/Diarizer/Nemotron3/Nemotron3StreamingState.h"

namespace tesselaudio {

// Carries a Nemotron 3 session's speaker memory from one model call to the next: cuts the chunk's
// new 10 ms probabilities out of the model output, appends the chunk's new embeddings and
// predictions to the FIFO, and when the FIFO overflows moves its oldest frames into the speaker
// cache, compressing the cache back to spkcacheLen frames when it would overflow. The compression
// keeps per speaker the frames that score best (with quotas, a bonus for the newest frames and
// reserved silence slots), grouped by speaker. An immutable value; the caller serialises calls on
// one state.
//
//   Nemotron3StateUpdater updater(config, models.silenceEmbedding());
//   auto output = models.run(chunk, chunkLength, state, config);
//   auto result = updater.update(state, output.chunkEmbeddings, output.chunkLength,
//                                output.predictions, output.highResPredictions, lc, rc);
class Nemotron3StateUpdater {
 public:
  // The compressed cache: spkcacheLen × preEncoderDims embeddings, spkcacheLen × numSpeakers
  // predictions.
  struct CompressedCache {
    std::vector<float> spkcache;
    std::vector<float> spkcachePreds;
  };

  // The selection of topKIndices: k frame indices and whether each slot is a silence slot.
  struct TopK {
    std::vector<std::int64_t> indices;
    std::vector<bool> isDisabled;
  };

  // `silenceEmbedding`: at least preEncoderDims values, of which the first preEncoderDims fill
  // silence slots (checked by update()).
  Nemotron3StateUpdater(const Nemotron3Config& config, std::vector<float> silenceEmbedding);

  const Nemotron3Config& config() const { return config_; }
  const std::vector<float>& silenceEmbedding() const { return silenceEmbedding_; }

  // Applies one model call to `state` and returns the chunk's new 10 ms probabilities.
  // `chunkEmbeddings`: preEncoderDims values per frame: lc left-context frames, the chunk's own
  // frames, rc right-context frames. `chunkEncLength`: valid frames counted from the first
  // left-context frame. `predictions`: numSpeakers per frame for the spkcacheLength cache frames,
  // the fifoLength FIFO frames and the chunk's frames; `highResPredictions`: the same at
  // upsampleFactor frames per encoder frame.
  // Throws Nemotron3Error::invalidState, leaving `state` untouched, when the inputs or the state
  // are shorter than the configuration and the lengths need, when lc or rc is negative or together
  // exceed the chunk window, when the silence embedding has fewer than preEncoderDims values, or
  // when a compression's largest speaker-major index would reach maxIndex.
  Nemotron3ChunkResult update(Nemotron3StreamingState& state, std::span<const float> chunkEmbeddings,
                              std::int64_t chunkEncLength, std::span<const float> predictions,
                              std::span<const float> highResPredictions, std::int64_t lc,
                              std::int64_t rc) const;

  // The steps of the compression, public for tests and benchmarks; update() calls them.

  // Shrinks `frameCount` frames (embeddings and predictions, frame-major) to spkcacheLen frames
  // grouped by speaker: each speaker's chosen frames in time order, then its silence slots; empty
  // slots at the end hold the silence embedding with zero predictions.
  // REQUIRES: embs holds frameCount × preEncoderDims values, preds frameCount × numSpeakers; the
  // silence embedding holds preEncoderDims values; numSpeakers × (frameCount +
  // spkcacheSilFramesPerSpk) − 1 < maxIndex.
  CompressedCache compressSpkcache(std::span<const float> embs, std::span<const float> preds,
                                   std::int64_t frameCount) const;
  // Per frame and speaker: ln max(p, t) − ln max(1 − p, t) + the frame's sum of ln max(1 − p, t)
  // + ln 2, with t = predScoreThreshold.
  std::vector<float> logPredScores(std::span<const float> preds, std::int64_t frameCount) const;
  // Sets to −∞ every score whose probability is not above 0.5, and every non-positive score of a
  // speaker with at least `minPosScores` frames above 0.5 with a positive score.
  void disableLowScores(std::span<const float> preds, std::span<float> scores, std::int64_t frameCount,
                        std::int64_t minPosScores) const;
  // Adds scaleFactor × ln 2 to each speaker's k highest finite scores (earlier frames win ties).
  // Nothing when k ≤ 0 or frameCount ≤ 0.
  void boostTopKScores(std::span<float> scores, std::int64_t frameCount, std::int64_t k, float scaleFactor) const;
  // The k best (speaker, frame) pairs in speaker-major order (smaller speaker-major index wins
  // ties), as frame indices sorted by speaker then frame; slots without a finite pick and picks of
  // the last spkcacheSilFramesPerSpk (silence) frames are disabled with index 0.
  TopK topKIndices(std::span<const float> scores, std::int64_t frameCount, std::int64_t k) const;

 private:
  // Refuses inputs that update() would read past, before anything changes.
  void checkInputs(const Nemotron3StreamingState& state, std::size_t embeddingCount,
                   std::size_t predictionCount, std::size_t highResCount, std::int64_t lc, std::int64_t valid,
                   std::int64_t popOut) const;

  Nemotron3Config config_;
  std::vector<float> silenceEmbedding_;
};

}  // namespace tesselaudio
