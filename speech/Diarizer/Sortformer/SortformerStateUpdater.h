#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "speech/Diarizer/Sortformer/SortformerConfig.h"
#include "speech/Diarizer/Sortformer/SortformerStreamingState.h"
#include "speech/Diarizer/Sortformer/StreamingUpdateResult.h"
#include "speech/Shared/AppLogger.h"

namespace tesselaudio {

// Carries a streaming Sortformer session's speaker memory from one model step to the next: appends
// the chunk's core to the FIFO, moves the oldest FIFO frames into the speaker cache when the FIFO
// overflows, keeps the mean embedding of the silent frames that leave the FIFO, and compresses the
// cache back to spkcacheLen frames, keeping per speaker its best-scoring frames and
// spkcacheSilFramesPerSpk silence frames. A value with no state of its own; the caller serialises
// calls on one streaming state.
//
//   SortformerStateUpdater updater(config);
//   auto output = models.runMainModel(...);
//   auto result = updater.streamingUpdate(state, embeddings, output.predictions, left, right);
class SortformerStateUpdater {
 public:
  explicit SortformerStateUpdater(const SortformerConfig& config);

  const SortformerConfig& config() const { return config_; }

  // Applies one model step to `state` and returns the predictions of the chunk's core (confirmed)
  // and right context (tentative).
  // `chunk`: embeddings of the chunk's valid frames (left context, core, right context),
  // preEncoderDims values each. `preds`: the model's whole prediction array for the step: a row per
  // cache frame, then per FIFO frame, then per chunk frame. `leftContext`, `rightContext`: frames.
  // Throws SortformerError: insufficientPredsLength when `preds` lacks the FIFO, core or
  // right-context rows, insufficientChunkLength when the context frames exceed the chunk. The
  // state is then unchanged, except that FIFO predictions already refreshed from `preds` stay.
  // REQUIRES: leftContext >= 0, rightContext >= 0; the state keeps its invariants.
  StreamingUpdateResult streamingUpdate(SortformerStreamingState& state,
                                        std::span<const float> chunk,
                                        std::span<const float> preds, std::int64_t leftContext,
                                        std::int64_t rightContext) const;

  // 1 ÷ (1 + e^−x) of each value, in single precision.
  static std::vector<float> applySigmoid(std::span<const float> values);

 private:
  // Folds the silent frames among the first `frameCount` rows of `embs`/`preds` into the mean
  // silence embedding.
  void updateSilenceProfile(SortformerStreamingState& state, std::span<const float> embs,
                            std::span<const float> preds, std::int64_t frameCount) const;
  // Moves `pop` frames from the front of the FIFO to the end of the cache, compressing the cache
  // when it overflows. `entryCachePreds`: the model's rows for the cache frames present at entry.
  void moveFifoToCache(SortformerStreamingState& state, std::int64_t pop,
                       std::span<const float> entryCachePreds) const;
  // Shrinks an over-full cache to spkcacheLen frames grouped by speaker.
  void compressSpkcache(SortformerStreamingState& state) const;

  AppLogger logger_;
  SortformerConfig config_;
};

}  // namespace tesselaudio
