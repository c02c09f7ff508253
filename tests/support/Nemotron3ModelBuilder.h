#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/ModelBuilder.h"

// Stand-ins for the Nemotron 3 diarization models, built in code with the real model contract
// (8 speakers, 512-wide embeddings, 8 mel frames of 128 bands per encoder frame, 10 ms outputs at
// 8 rows per encoder frame).
//
// Both score an embedding row the same way: speaker k = sigmoid(alpha × (mean of columns 16k ...
// 16k + 15 − threshold k)). By default alpha is 4 and every threshold 0.5, so a row whose band k
// holds ones and the rest zeros reads 0.88 for speaker k and 0.12 for the others, and a zero row
// reads 0.12 everywhere. A fused window's embedding holds the first mel frames of its encoder
// frame, so columns 16k ... 16k + 15 are mel bands 16k ... 16k + 15 of the first of them.
namespace testsupport {

// The sizes a model is built for, from a Nemotron3Config (the test support does not link the
// speech library). Defaults: a tiny window of 5 frames, a FIFO of 6 and a cache of 16.
struct Nemotron3ModelSizes {
  std::int64_t chunkEncFrames = 5;
  std::int64_t fifoLen = 6;
  std::int64_t spkcacheLen = 16;

  std::int64_t packedFrames() const { return spkcacheLen + fifoLen + chunkEncFrames; }
};

inline constexpr std::int64_t kNemotron3Dims = 512;
inline constexpr std::int64_t kNemotron3Speakers = 8;
inline constexpr std::int64_t kNemotron3Mels = 128;
inline constexpr std::int64_t kNemotron3Subsampling = 8;

enum class Nemotron3FusedVariant {
  plain,              // float32 outputs
  alwaysFails,        // every prediction fails (a Gather index out of range)
  float16Outputs,     // every output cast to float16
  withoutEmbeddings,  // no "chunk_pre_encode_embs"
  longPredictions,    // "speaker_preds" one row longer than T: rejects output backings
};

// The scoring of the stand-ins, and an optional failure on loud input.
struct Nemotron3BandScorer {
  float alpha = 4.0f;
  std::array<float, 8> thresholds{0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f};
  // Fused graph only: when set, a prediction fails (a Gather index out of range) whenever a value
  // of the chunk's mel frames [coreMelBegin, coreMelEnd) exceeds it, so loud audio in one chunk's
  // core makes that chunk, and no other, fail.
  std::optional<float> failAboveCoreMel;
  std::int64_t coreMelBegin = 0;
  std::int64_t coreMelEnd = 0;
};

// The fused graph: the window's embeddings are its mel frames reshaped to [W, 1024] and cut to the
// first 512 columns; the rows scored are the valid cache rows, the valid FIFO rows, then the
// window's rows, then repeats of the last row. Written as `name`.mlmodelc / .mlpackage.
ModelBuilder nemotron3FusedModel(const std::string& name, const Nemotron3ModelSizes& sizes = {},
                                 Nemotron3FusedVariant variant = Nemotron3FusedVariant::plain,
                                 const Nemotron3BandScorer& scorer = {});

// The split graph: scores the rows of "packed" and multiplies them by "output_mask".
ModelBuilder nemotron3SplitModel(const std::string& name, const Nemotron3ModelSizes& sizes = {},
                                 const Nemotron3BandScorer& scorer = {});

// The projection asset [I₅₁₂ ; 0] (1024 × 512): the split program's embeddings then equal the
// fused stand-in's.
std::vector<float> nemotron3IdentityProjection();

// The raw bytes of float assets (little-endian float32, no header).
std::string nemotron3AssetBytes(const std::vector<float>& values);

// A chunk of chunkEncFrames × 8 mel frames in which encoder frame j speaks as `speakerOfFrame[j]`
// (band k of its first mel frame all ones; −1 or a missing entry is silence).
std::vector<float> nemotron3Chunk(const Nemotron3ModelSizes& sizes, const std::vector<int>& speakerOfFrame);

}  // namespace testsupport
