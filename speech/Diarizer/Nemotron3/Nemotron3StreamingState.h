#pragma once

#include <cstdint>
#include <vector>

namespace tesselaudio {

struct Nemotron3Config;

// What a Nemotron 3 session carries from one chunk to the next: the speaker cache and the FIFO of
// encoder-frame embeddings with their speaker probabilities. Arrays are flat and frame-major
// (preEncoderDims values per embedding row, numSpeakers per probability row) and keep their full
// capacity: only the leading "length" rows are meaningful, the rest are zeros. A plain value,
// owned by one diarizer and rewritten by Nemotron3StateUpdater after each chunk.
struct Nemotron3StreamingState {
  std::vector<float> spkcache;
  std::int64_t spkcacheLength = 0;
  std::vector<float> spkcachePreds;
  // True from the first compression on: later compressions score the stored predictions.
  bool spkcacheCompressed = false;
  // Oldest frame first.
  std::vector<float> fifo;
  std::int64_t fifoLength = 0;
  std::vector<float> fifoPreds;

  // The empty state for `config`: every array at its capacity, all zeros.
  explicit Nemotron3StreamingState(const Nemotron3Config& config);

  bool operator==(const Nemotron3StreamingState&) const = default;
};

}  // namespace tesselaudio
