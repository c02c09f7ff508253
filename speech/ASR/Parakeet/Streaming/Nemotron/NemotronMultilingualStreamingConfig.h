#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

// The multilingual model folder's "metadata.json" is one JSON object; every key is optional and
// unknown keys are ignored:
//
//   {"chunk_mel_frames": 112, "chunk_ms": 1120, "pre_encode_cache": 9, "total_mel_frames": 121,
//    "vocab_size": 13087, "blank_idx": 13087, "encoder_dim": 1024, "decoder_hidden": 640,
//    "decoder_layers": 2, "cache_channel_shape": [1, 24, 56, 1024], "cache_time_shape": [1, 24, 1024, 8],
//    "num_prompts": 128, "default_prompt_id": 101, "prompt_dictionary": {"en": 0, "pt-BR": 13},
//    "lang_tag_token_ids": [13000, 13001], "sample_rate": 16000, "mel_features": 128}
//
// Numbers count when their value is integral (5 and 5.0, not 5.5 or "5"). A missing or mistyped
// value takes its fallback; the shapes, the prompt table and the tag ids fall back as a whole when
// any element is not an integral number.
namespace tesselaudio {

// Geometry, prompt table and language-tag ids of a multilingual streaming Nemotron model. A value.
struct NemotronMultilingualStreamingConfig {
  std::int64_t sampleRate = 16000;
  std::int64_t melFeatures = 128;
  std::int64_t chunkMelFrames = 112;
  std::int64_t chunkMs = 1120;
  std::int64_t preEncodeCache = 9;
  std::int64_t totalMelFrames = 121;
  std::int64_t vocabSize = 13087;
  std::int64_t blankIdx = 13087;
  std::int64_t encoderDim = 1024;
  std::int64_t decoderHidden = 640;
  std::int64_t decoderLayers = 2;
  std::vector<std::int64_t> cacheChannelShape{1, 24, 56, 1024};
  std::vector<std::int64_t> cacheTimeShape{1, 24, 1024, 8};
  std::int64_t numPrompts = 128;
  std::int64_t defaultPromptId = 101;
  std::map<std::string, std::int64_t> promptDictionary{{"auto", 101}};
  std::set<std::int64_t> langTagTokenIds;

  NemotronMultilingualStreamingConfig() = default;
  // Reads one "metadata.json". Throws the file's read error and the JSON parser's error unchanged,
  // ASRError(processingFailed) "Invalid multilingual metadata.json format" for a top level that is
  // no object, and ASRError(processingFailed) naming the key for values the recogniser cannot work
  // with: a size below 1, a shape dimension below 1, fewer total mel frames than cached ones, or a
  // blank id, prompt id or tag id outside int32. Nothing is taken from a file that throws.
  explicit NemotronMultilingualStreamingConfig(const std::filesystem::path& from);

  // Samples of one chunk at 16 kHz, 160 per mel frame.
  std::int64_t chunkSamples() const { return chunkMelFrames * 160; }

  // The prompt id of a language code: the code itself, then with "_" as "-", then as
  // "lang-REGION", then its language part in lower case; defaultPromptId when none is in the table
  // (and for no code or ""). Never throws.
  std::int64_t promptId(const std::optional<std::string>& forLanguage) const;

  bool operator==(const NemotronMultilingualStreamingConfig&) const = default;
};

}  // namespace tesselaudio
