#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/ModelBuilder.h"

// Stand-ins for the SenseVoice models, built in code with the real inputs and outputs, and a
// 64-piece vocabulary:
//   "SenseVoicePreprocessor"  "waveform" [1, N] → "features" [1, ⌊N / 160⌋, 560], frame means
//   "SenseVoiceSmall"         "speech" [1, B, 560], "speech_lengths", "language", "textnorm" →
//                             "ctc_logits" [1, B + 4, 64]: row 0 one-hot at the id given in
//                             "language", then a constant script cut to B + 3 rows
// The "_int8" and "_fp32" encoders are the same network under their own names.
//
// The script: row 1 holds "<|HAPPY|>" 2.0 (so HAPPY over SAD is 0.8808 to 0.1192), row 2
// "<|Speech|>" 1.0, row 3 "<|withitn|>" 1.0, then one row per entry of `speechIds`, one-hot at
// that id (0 is the blank); later rows are blank.
namespace testsupport {

namespace SenseVoicePieceIds {
inline constexpr int zh = 1, en = 2, ja = 3, yue = 4, withitn = 5, sad = 6, happy = 7, speech = 8, bgm = 9,
                     emptyTag = 10, x = 11, konnichiwa = 12, sekai = 13, unmatchedOpen = 14;
}

struct SenseVoiceStandIns {
  // Which frame counts the encoder's "speech" declares.
  enum class SpeechShapes {
    enumerated,     // [1, 300, 560] and [1, 900, 560]
    range,          // frames 1 … 1800
    unconstrained,  // an open frame count, nothing declared
    fixed300,       // the one shape [1, 300, 560]
  };
  SpeechShapes speechShapes = SpeechShapes::enumerated;
  // Output names; another name stands for a model that leaves the output out.
  std::string featuresName = "features";
  std::string logitsName = "ctc_logits";
  std::int64_t featureWidth = 560;
  ElementType logitsType = ElementType::float32;
  // "ctc_logits" flattened to one dimension.
  bool flatLogits = false;
  // "ctc_logits" cut to its first rows.
  std::optional<std::int64_t> logitsRows;
  // "▁こんにちは" twice with a blank between, "世界" twice, "<|BGM|>", "世界".
  std::vector<int> speechIds = {12, 12, 0, 12, 13, 13, 9, 13};
  std::vector<std::string> pieces;  // empty: senseVoicePieces()
};

// "<unk>", "<|zh|>", "<|en|>", "<|ja|>", "<|yue|>", "<|withitn|>", "<|SAD|>", "<|HAPPY|>",
// "<|Speech|>", "<|BGM|>", "<||>", "<|x|>", "▁こんにちは", "世界", "▁<|", then "▁w15" … "▁w63".
std::vector<std::string> senseVoicePieces();

ModelBuilder senseVoicePreprocessor(const SenseVoiceStandIns& options = {});
ModelBuilder senseVoiceEncoder(const std::string& name, const SenseVoiceStandIns& options = {});

// Writes the preprocessor, the three encoders and "vocab.json" (an array) into `folder`.
void writeSenseVoiceFolder(const std::filesystem::path& folder, const SenseVoiceStandIns& options = {});

}  // namespace testsupport
