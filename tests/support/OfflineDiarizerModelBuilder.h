#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "speech/Diarizer/Offline/Core/OfflineDiarizerModels.h"
#include "tests/support/ModelBuilder.h"

// Stand-ins for the offline diarizer's models, built in code with the real contracts, and the
// files of the hub's "offline" set of "TesselInference/speaker-diarization-coreml":
// Segmentation.mlmodelc, FBank.mlmodelc, Embedding.mlmodelc, PldaRho.mlmodelc and
// plda-parameters.json.
namespace testsupport {

inline constexpr std::int64_t kOfflineWindowSamples = 160000;
inline constexpr std::int64_t kOfflineFrames = 589;
// Samples per frame of the stand-ins: frame f is the mean of samples [271 f, 271 (f + 1)).
inline constexpr std::int64_t kOfflineSamplesPerFrame = 271;
inline constexpr std::int64_t kEmbeddingDimension = 256;
inline constexpr std::int64_t kRhoDimension = 128;

// "Segmentation": "audio" [B, 1, 160000] (B free) → "segments" [B, 589, 7] = m·w + b per frame,
// m the frame's mean level, w = (0, 10, -10, 0, 0, 0, 0), b = (0.5, 0, 0, -1, -1, -1, -1): a level
// of +0.5 wins class 1 (local speaker 0), -0.5 class 2 (local speaker 1), silence class 0.
ModelBuilder dcSegmentationModel();

// Where the echo segmentation's scores go.
enum class EchoOutput {
  segments,        // "segments" [B, 589, C]
  logProbs,        // "log_probs" [B, 589, C]
  otherName,       // "scores" [B, 589, C]
  twoDimensional,  // "segments" [589, C], from the first window of the batch
  rankFour,        // "segments" [1, 2, 589, C], from the first window of the batch
};

// "Segmentation" whose scores are the audio's values from sample `offset` on, frame after frame,
// class after class (C = `classes`). `fixedBatch` fixes the input's first dimension.
// REQUIRES: offset plus the values taken is at most 160,000.
ModelBuilder echoOfflineSegmentationModel(std::int64_t offset, std::int64_t classes = 7,
                                          EchoOutput output = EchoOutput::segments,
                                          std::optional<std::int64_t> fixedBatch = std::nullopt);

// "FBank": "audio" [1, 1, 160000] → "fbank_features" [1, 1, 1, 589], the frame levels.
ModelBuilder fbankModel();

// "Embedding": "fbank_features" [1, 1, 1, 589] and "weights" [1, 589] → "embedding" [1, 256] =
// s·(1, 0, …, 0), s the weights' average of the features.
ModelBuilder embeddingModel();

// Probes that show which samples a window held.
// "FBank": "audio" [1, 1, 160000] → "fbank_features" [1, 1, 1, 589] = the audio at `positions`,
// in order (position 0 past the list's end). Audio without a zero sample has no silent frame, so
// the extractor's re-centring leaves these features alone.
// REQUIRES: at most 589 positions, each below 160,000.
ModelBuilder probeFbankModel(const std::vector<std::int64_t>& positions);

// "Embedding": "fbank_features" [1, 1, 1, 589] and "weights" [1, 589] → "embedding" [1, 256] =
// the first 256 features; the weights are not read.
ModelBuilder echoEmbeddingModel();

// "PldaRho": "embeddings" [B, 256] (B free) → "rho" [B, 128] = embeddings × 40·[I128; 0].
ModelBuilder pldaRhoModel();

// "PldaRho" for checking the transform by hand: rho_i = x_2i − x_2i+1 for i < 127, and rho_127 =
// the number of rows in the call. `fixedBatch` fixes the input's first dimension.
ModelBuilder pairDifferencePldaRhoModel(std::optional<std::int64_t> fixedBatch = std::nullopt);

// Standard Base64 of `bytes`, padded.
std::string base64(const std::string& bytes);

// `values` as consecutive little-endian float32 numbers.
std::string float32Bytes(const std::vector<float>& values);

// The text of a "plda-parameters.json" holding `psi` under tensors → psi → data_base64.
std::string pldaParametersJson(const std::vector<float>& psi);

// Writes the four stand-in bundles and "plda-parameters.json" (128 values of
// 1.0) into `folder`, as the hub's offline set lays them out. Returns `folder`.
std::filesystem::path writeOfflineDiarizerFiles(const std::filesystem::path& folder);

// The DC segmentation, FBANK, embedding and PLDA stand-ins, written into `folder` and loaded, with
// 128 psi values of 1.0.
tesselaudio::OfflineDiarizerModels loadOfflineStandIns(const std::filesystem::path& folder);

}  // namespace testsupport
