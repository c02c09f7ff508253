#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace tesselaudio {

struct SortformerConfig;

// What a streaming Sortformer session carries from one chunk to the next: the speaker cache and
// the FIFO of frame embeddings with their speaker probabilities, and the running mean embedding of
// silence. Arrays are flat and frame-major (preEncoderDims values per embedding row, numSpeakers
// per probability row). A plain value, owned by one diarizer and edited by SortformerStateUpdater
// under the diarizer's lock.
//
// Invariants the updater keeps: spkcache holds spkcacheLength rows and fifo fifoLength rows; the
// prediction arrays, when present, hold one row per frame; meanSilenceEmbedding holds
// preEncoderDims values while the session runs.
struct SortformerStreamingState {
  std::vector<float> spkcache;
  std::int64_t spkcacheLength = 0;
  // Absent until the cache is first compressed.
  std::optional<std::vector<float>> spkcachePreds;
  // Oldest frame first.
  std::vector<float> fifo;
  std::int64_t fifoLength = 0;
  // Absent until the first streaming update.
  std::optional<std::vector<float>> fifoPreds;
  std::vector<float> meanSilenceEmbedding;
  std::int64_t silenceFrameCount = 0;

  // An empty session: no cache, no FIFO, no predictions, a zero silence embedding. The arrays are
  // reserved to the largest size they reach inside one update, so updates do not reallocate.
  explicit SortformerStreamingState(const SortformerConfig& config);

  // Releases the storage: every array empty (the silence embedding too), predictions absent,
  // lengths and count 0. A cleaned-up state is not given to the updater again.
  void cleanup();
};

}  // namespace tesselaudio
