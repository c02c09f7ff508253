#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/ModelBuilder.h"
#include "tests/support/TokenizerFileBuilder.h"

// Stand-ins for the CTC spotter pair, built in code with the real input and output names:
//   "MelSpectrogram"  "audio" f32 [1, 240000], "audio_length" i32 [1] →
//                     "melspectrogram_features" f32 [1, 1, 240], the mean ("level") of each run of
//                     1,000 samples; "mel_length" i32 [1] = 240
//   "AudioEncoder"    "melspectrogram_features", "mel_length", "input_1" f16 [1, 1, 1, 1] (unused) →
//                     "ctc_head_raw_output" [1, 240, V], logit_v = -sharpness · (level - code_v)²,
//                     and "ctc_head_output", its softmax
// Token v < V - 1 has the code (v + 1) · 0.02; the blank, V - 1, has code 0 (silence). Holding a
// frame's 1,000 samples at a token's code "speaks" it: 240 frames of 0.0625 s per 15 s window.
namespace testsupport {

struct CtcStandIns {
  std::int64_t vocabularySize = 41;  // V, the blank included
  float sharpness = 25000;
  bool rank1Audio = false;
  bool float16Audio = false;
  std::string melFeaturesName = "melspectrogram_features";
  bool rank4Mel = false;
  bool melLength = true;
  std::int64_t melLengthValue = 240;
  // [1, V, 1, T] instead of [1, T, V].
  bool rank4Output = false;
  // [T, V]: a layout no reader accepts.
  bool rank2Output = false;
  ElementType outputType = ElementType::float32;
  bool rawOutput = true;
  bool softmaxOutput = true;
};

// The code level of token `id` (0 for the blank and anything out of range).
float ctcCode(std::int64_t id, const CtcStandIns& options = {});

// "<unk>", "▁", "a" … "z", "te", "ss", "el", "▁t", then fillers: V - 1 pieces.
std::vector<std::string> ctcPieces(const CtcStandIns& options = {});
// {"0": piece 0, …} for "vocab.json".
std::string ctcVocabularyJson(const CtcStandIns& options = {});
// The pieces with the merges "t e", "s s", "e l", "▁ t".
TokenizerFileBuilder ctcTokenizer(const CtcStandIns& options = {});

ModelBuilder ctcMelSpectrogram(const CtcStandIns& options = {});
ModelBuilder ctcAudioEncoder(const CtcStandIns& options = {});

// Writes both bundles, "vocab.json" and "tokenizer.json" into `folder`.
void writeCtcFolder(const std::filesystem::path& folder, const CtcStandIns& options = {});

// 1,000 samples at the code of each id, in order (the blank id for silence).
std::vector<float> ctcSpokenAudio(const std::vector<std::int64_t>& frames, const CtcStandIns& options = {});

}  // namespace testsupport
