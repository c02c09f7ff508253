#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/ModelBuilder.h"

// Stand-ins for the four Paraformer models, built in code with the real inputs and outputs, and
// its vocabulary. With samples of value a / 32768 in a frame's 160 samples, that frame's
// integrate-and-fire weight is a, so the audio decides where tokens fire:
//   "ParaformerPreprocessor"  "waveform" [1, N] → "features" [1, ⌊N / 160⌋, 560], frame means
//   "ParaformerEncoder"       "speech" [1, B, 560], "speech_lengths" → "enc_out" [1, B, 512],
//                             each row filled with the frame's first value
//   "ParaformerCifAlphas"     "enc_out" → "alphas" [1, B], the first value of each row
//   "ParaformerDecoder"       "enc", "elen", "ac", "tn" → "logits" [1, 128, 140], a constant whose
//                             row k is one-hot at id 3 + k
// The "_int8" encoder and decoder are the same networks under their own names.
namespace testsupport {

struct ParaformerStandIns {
  // Output names; another name stands for a model that leaves the output out.
  std::string featuresName = "features";
  std::string encOutName = "enc_out";
  std::string alphasName = "alphas";
  std::string logitsName = "logits";
  std::int64_t featureWidth = 560;
  ElementType encOutType = ElementType::float32;
  // "enc_out" cut to its first rows.
  std::optional<std::int64_t> encOutRows;
  // "enc_out" flattened to [1, B · 512].
  bool flatEncOut = false;
  // "alphas" cut to its first values.
  std::optional<std::int64_t> alphasValues;
  // Every weight 64 / B instead, so that the number of tokens tells the encoder bucket B.
  bool bucketAlphas = false;
  std::int64_t logitsRows = 128;
  // A decoder whose every prediction fails.
  bool failingDecoder = false;
  std::vector<std::string> pieces;  // empty: paraformerPieces()
};

// "<blank>", "<s>", "</s>", then 137 CJK characters from U+4E00 on: 140 pieces.
std::vector<std::string> paraformerPieces();

// The pieces as a "vocab.json" array.
std::string paraformerVocabularyJson(const std::vector<std::string>& pieces);

ModelBuilder paraformerPreprocessor(const ParaformerStandIns& options = {});
ModelBuilder paraformerEncoder(const std::string& name, const ParaformerStandIns& options = {});
ModelBuilder paraformerCifAlphas(const ParaformerStandIns& options = {});
ModelBuilder paraformerDecoder(const std::string& name, const ParaformerStandIns& options = {});

// Writes the six bundles (both precisions) and "vocab.json" into `folder`.
void writeParaformerFolder(const std::filesystem::path& folder, const ParaformerStandIns& options = {});

// 160 samples of value weights[t] / 32768 for each frame t: audio whose frames carry these
// integrate-and-fire weights through the stand-ins.
std::vector<float> paraformerWeightedAudio(const std::vector<float>& weights);

}  // namespace testsupport
