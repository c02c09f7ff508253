#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "tests/support/ModelBuilder.h"

// Stand-ins for the streaming Sortformer model, built in code with the real model contract: six
// inputs "chunk", "chunk_lengths", "spkcache", "spkcache_lengths", "fifo", "fifo_lengths" and the
// outputs "speaker_preds_out", "chunk_pre_encoder_lengths_out", "chunk_pre_encoder_embs_out".
namespace testsupport {

// The sizes a model is built for, taken from a SortformerConfig (the test support does not link
// the speech library). Defaults: balancedV2_1.
struct SortformerModelSizes {
  std::int64_t chunkLen = 6;
  std::int64_t chunkLeftContext = 1;
  std::int64_t chunkRightContext = 7;
  std::int64_t fifoLen = 188;
  std::int64_t spkcacheLen = 188;
  std::int64_t subsamplingFactor = 8;
  std::int64_t melFeatures = 128;
  std::int64_t preEncoderDims = 512;
  std::int64_t numSpeakers = 4;

  std::int64_t chunkMelFrames() const {
    return (chunkLen + chunkLeftContext + chunkRightContext) * subsamplingFactor;
  }
  std::int64_t chunkFrames() const { return chunkLen + chunkLeftContext + chunkRightContext; }
  // Rows of "speaker_preds_out": cache, FIFO and chunk capacity.
  std::int64_t predictionRows() const { return spkcacheLen + fifoLen + chunkFrames(); }
};

// The log of the mel front end's floor, 2^-24: what silent mel frames read.
inline constexpr float kSortformerSilentMel = -16.635532f;

// Where the band oracle says a slot speaks: p = sigmoid(alpha × (band mean − threshold)), one
// threshold per slot, since pre-emphasis takes 10–30 dB off the lowest band.
struct SortformerBandOracle {
  std::array<float, 4> thresholds{-11.0f, -10.0f, -10.0f, -10.0f};
  float alpha = 2.0f;
  // When set, a prediction fails (an index out of range) whenever a mel value of the chunk's core
  // rows, those after chunkLeftContext frames of left context, exceeds it: loud audio in one
  // chunk's core makes that chunk, and no other, fail while streaming.
  std::optional<float> failAboveCoreMel;
};

// "Speaker s talks" as the band oracle hears it: `samples` of audio at `sampleRate` whose energy
// fills one quarter of the mel axis (roughly 0–0.75, 0.75–1.7, 1.7–3.6 and 3.6–8 kHz for slots 0
// to 3): a dense chord of tones 10 Hz apart with phases from `seed`.
std::vector<float> sortformerBandAudio(int slot, std::size_t samples, unsigned seed = 1,
                                       double sampleRate = 16000);

// Audio whose energy fills mel bins firstBin ... lastBin of the 128-bin Slaney mel axis over
// 0–8 kHz at 16 kHz: a dense chord of tones 10 Hz apart from the centre of the first bin to the
// centre of the last, about 0.1 RMS, with phases from `seed`.
// REQUIRES: 0 <= firstBin <= lastBin < 128.
std::vector<float> melBinsAudio(int firstBin, int lastBin, std::size_t samples, unsigned seed = 1);

// Writes `model` into the models root `modelsRoot` where a finished download of the balanced
// streaming model (balancedV2_1) leaves it, so that loading it from the hub asks the hub for
// nothing. Returns the bundle's folder.
std::filesystem::path installSortformerBundle(const ModelBuilder& model,
                                              const std::filesystem::path& modelsRoot);

// A model that diarizes by band energy. Mel frames at or after "chunk_lengths" read as silence;
// every 8 mel frames are averaged into one frame whose embedding is the mean mel followed by
// zeros; slot s's score is the mean of mel bins 32s ... 32s + 31 of an embedding, for the chunk's,
// the cache's and the FIFO's rows alike. The predictions are packed as the contract says: C cache
// rows, F FIFO rows, then the chunk rows, then anything. "chunk_pre_encoder_lengths_out" is
// ceil(chunk_lengths ÷ 8). metadata.json carries the five chunk keys of `sizes` unless
// `withMetadata` is false.
ModelBuilder sortformerBandOracleModel(const SortformerModelSizes& sizes = {},
                                       const SortformerBandOracle& oracle = {},
                                       bool withMetadata = true);

// Tiny models that take the six inputs and give constant outputs: predictions of 0.25, embeddings
// of 0.5 and a chunk length of chunkFrames(), under the names each shape names.
enum class SortformerContractShape {
  outputsWithOut,           // the three "_out" names
  outputsWithoutOut,        // the three plain names
  float16EmbeddingsOut,     // embeddings only as float16 under "chunk_pre_encoder_embs_out"
  float16EmbeddingsPlain,   // embeddings only as float16 under "chunk_pre_encoder_embs"
  emptyLengthsOutBesidePlain,  // an empty "chunk_pre_encoder_lengths_out" and a valid plain one
  noPredictions,            // no speaker predictions at all
  noLengths,                // no chunk length output at all
};
ModelBuilder sortformerContractModel(SortformerContractShape shape,
                                     const SortformerModelSizes& sizes = {});

}  // namespace testsupport
