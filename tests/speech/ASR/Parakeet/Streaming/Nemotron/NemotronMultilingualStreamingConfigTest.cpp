#include "speech/ASR/Parakeet/Streaming/Nemotron/NemotronMultilingualStreamingConfig.h"

#include <fstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/sys/Error.h"
#include "speech/ASR/Parakeet/ASRError.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/ThrownDescription.h"

namespace tesselaudio {
namespace {

namespace fs = std::filesystem;
using Config = NemotronMultilingualStreamingConfig;

class NemotronMultilingualStreamingConfigTest : public ::testing::Test {
 protected:
  fs::path write(const std::string& text) {
    const fs::path file = folder_.path() / ("metadata" + std::to_string(files_++) + ".json");
    std::ofstream(file, std::ios::binary) << text;
    return file;
  }

  Config read(const std::string& text) { return Config(write(text)); }

  testsupport::TemporaryFolder folder_;
  int files_ = 0;
};

TEST_F(NemotronMultilingualStreamingConfigTest, DefaultsFieldByField) {
  const Config config;
  EXPECT_EQ(config.sampleRate, 16000);
  EXPECT_EQ(config.melFeatures, 128);
  EXPECT_EQ(config.chunkMelFrames, 112);
  EXPECT_EQ(config.chunkMs, 1120);
  EXPECT_EQ(config.preEncodeCache, 9);
  EXPECT_EQ(config.totalMelFrames, 121);
  EXPECT_EQ(config.vocabSize, 13087);
  EXPECT_EQ(config.blankIdx, 13087);
  EXPECT_EQ(config.encoderDim, 1024);
  EXPECT_EQ(config.decoderHidden, 640);
  EXPECT_EQ(config.decoderLayers, 2);
  EXPECT_EQ(config.cacheChannelShape, (std::vector<std::int64_t>{1, 24, 56, 1024}));
  EXPECT_EQ(config.cacheTimeShape, (std::vector<std::int64_t>{1, 24, 1024, 8}));
  EXPECT_EQ(config.numPrompts, 128);
  EXPECT_EQ(config.defaultPromptId, 101);
  EXPECT_EQ(config.promptDictionary, (std::map<std::string, std::int64_t>{{"auto", 101}}));
  EXPECT_TRUE(config.langTagTokenIds.empty());
  EXPECT_EQ(config.chunkSamples(), 17920);

  EXPECT_EQ(read("{}"), config);
}

TEST_F(NemotronMultilingualStreamingConfigTest, ReadsEveryKey) {
  const Config config = read(R"({"sample_rate": 8000, "mel_features": 80, "chunk_mel_frames": 56, "chunk_ms": 999,
    "pre_encode_cache": 16, "total_mel_frames": 72, "vocab_size": 4000, "blank_idx": 4001, "encoder_dim": 512,
    "decoder_hidden": 320, "decoder_layers": 1, "cache_channel_shape": [1, 2, 3, 4], "cache_time_shape": [4, 3, 2, 1],
    "num_prompts": 12, "default_prompt_id": 7, "prompt_dictionary": {"en": 0, "de": 3},
    "lang_tag_token_ids": [40, 41, 40], "something_else": [1]})");
  EXPECT_EQ(config.sampleRate, 8000);
  EXPECT_EQ(config.melFeatures, 80);
  EXPECT_EQ(config.chunkMelFrames, 56);
  EXPECT_EQ(config.chunkMs, 999);
  EXPECT_EQ(config.preEncodeCache, 16);
  EXPECT_EQ(config.totalMelFrames, 72);
  EXPECT_EQ(config.vocabSize, 4000);
  EXPECT_EQ(config.blankIdx, 4001);
  EXPECT_EQ(config.encoderDim, 512);
  EXPECT_EQ(config.decoderHidden, 320);
  EXPECT_EQ(config.decoderLayers, 1);
  EXPECT_EQ(config.cacheChannelShape, (std::vector<std::int64_t>{1, 2, 3, 4}));
  EXPECT_EQ(config.cacheTimeShape, (std::vector<std::int64_t>{4, 3, 2, 1}));
  EXPECT_EQ(config.numPrompts, 12);
  EXPECT_EQ(config.defaultPromptId, 7);
  EXPECT_EQ(config.promptDictionary, (std::map<std::string, std::int64_t>{{"en", 0}, {"de", 3}}));
  EXPECT_EQ(config.langTagTokenIds, (std::set<std::int64_t>{40, 41}));
}

TEST_F(NemotronMultilingualStreamingConfigTest, FallbacksFollowChunkMelFramesAndVocabSize) {
  const Config half = read(R"({"chunk_mel_frames": 56})");
  EXPECT_EQ(half.chunkMs, 560);
  EXPECT_EQ(half.totalMelFrames, 65);
  EXPECT_EQ(half.chunkSamples(), 8960);

  // The fallback adds 9, not the file's pre-encode cache.
  const Config cached = read(R"({"pre_encode_cache": 16})");
  EXPECT_EQ(cached.preEncodeCache, 16);
  EXPECT_EQ(cached.totalMelFrames, cached.chunkMelFrames + 9);

  EXPECT_EQ(read(R"({"vocab_size": 5000})").blankIdx, 5000);
  EXPECT_EQ(read(R"({"vocab_size": 5000, "blank_idx": "12"})").blankIdx, 5000);
  EXPECT_EQ(read(R"({"vocab_size": "5000", "blank_idx": "12"})").blankIdx, 13087);

  // The one-entry table, whatever the default prompt is.
  const Config prompt = read(R"({"default_prompt_id": 3, "prompt_dictionary": {"en": "0"}})");
  EXPECT_EQ(prompt.defaultPromptId, 3);
  EXPECT_EQ(prompt.promptDictionary, (std::map<std::string, std::int64_t>{{"auto", 101}}));
}

TEST_F(NemotronMultilingualStreamingConfigTest, MistypedValuesTakeTheirFallbacks) {
  struct Case {
    const char* name;
    const char* json;
    std::int64_t sampleRate;
  };
  for (const Case& c : {Case{"integer", R"({"sample_rate": 8000})", 8000},
                        Case{"integral fraction", R"({"sample_rate": 8000.0})", 8000},
                        Case{"fraction", R"({"sample_rate": 8000.5})", 16000},
                        Case{"string", R"({"sample_rate": "8000"})", 16000},
                        Case{"array", R"({"sample_rate": [8000]})", 16000},
                        Case{"bool", R"({"sample_rate": true})", 16000},
                        Case{"null", R"({"sample_rate": null})", 16000},
                        Case{"beyond 64 bits", R"({"sample_rate": 18446744073709551615})", 16000}}) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(read(c.json).sampleRate, c.sampleRate);
  }

  // A whole value falls back when one element is not an integral number.
  const Config config = read(R"({"cache_channel_shape": [1, 2.5, 3, 4], "cache_time_shape": "1,2",
    "prompt_dictionary": {"en": 0, "de": 1.5}, "lang_tag_token_ids": [40, "41"]})");
  EXPECT_EQ(config.cacheChannelShape, Config().cacheChannelShape);
  EXPECT_EQ(config.cacheTimeShape, Config().cacheTimeShape);
  EXPECT_EQ(config.promptDictionary, Config().promptDictionary);
  EXPECT_TRUE(config.langTagTokenIds.empty());
  EXPECT_EQ(read(R"({"lang_tag_token_ids": {"a": 1}, "prompt_dictionary": [1]})"), Config());
}

TEST_F(NemotronMultilingualStreamingConfigTest, RefusesFilesThatAreNotObjects) {
  for (const char* text : {"[]", "[1, 2]", "5", "\"text\"", "null"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(testsupport::thrownDescription<ASRError>([&] { read(text); }),
              "ASR processing failed: Invalid multilingual metadata.json format");
  }
  EXPECT_THROW(read("{\"chunk_mel_frames\": "), nlohmann::json::parse_error);
  EXPECT_THROW(Config(folder_.path() / "missing.json"), platform::Error);
}

// Sizes the recogniser copies with, and ids it keeps in 32 bits, are checked before anything is taken.
TEST_F(NemotronMultilingualStreamingConfigTest, RefusesValuesThatWouldBreakTheRecogniser) {
  struct Case {
    const char* name;
    const char* json;
  };
  for (const Case& c : {Case{"zero mel features", R"({"mel_features": 0})"},
                        Case{"negative chunk", R"({"chunk_mel_frames": -4})"},
                        Case{"zero total frames", R"({"total_mel_frames": 0})"},
                        Case{"zero encoder width", R"({"encoder_dim": 0})"},
                        Case{"negative decoder hidden", R"({"decoder_hidden": -640})"},
                        Case{"zero decoder layers", R"({"decoder_layers": 0})"},
                        Case{"huge decoder hidden", R"({"decoder_hidden": 1e12})"},
                        Case{"fewer total than cached frames", R"({"total_mel_frames": 8})"},
                        Case{"negative pre-encode cache", R"({"pre_encode_cache": -1})"},
                        Case{"zero shape dimension", R"({"cache_channel_shape": [1, 0, 56, 1024]})"},
                        Case{"negative shape dimension", R"({"cache_time_shape": [1, 24, -1024, 8]})"},
                        Case{"empty shape", R"({"cache_time_shape": []})"},
                        Case{"blank beyond int32", R"({"blank_idx": 2147483648})"},
                        Case{"negative blank", R"({"blank_idx": -1})"},
                        Case{"negative tag id", R"({"lang_tag_token_ids": [-5]})"},
                        Case{"vocabulary beyond int32 as blank", R"({"vocab_size": 4294967296})"},
                        Case{"default prompt beyond int32", R"({"default_prompt_id": -2147483649})"},
                        Case{"prompt beyond int32", R"({"prompt_dictionary": {"en": 3000000000}})"},
                        Case{"tag id beyond int32", R"({"lang_tag_token_ids": [1, 2147483648]})"}}) {
    SCOPED_TRACE(c.name);
    try {
      read(c.json);
      ADD_FAILURE() << "accepted";
    } catch (const ASRError& error) {
      EXPECT_EQ(error.errorCase(), ASRError::Case::processingFailed);
      EXPECT_NE(error.message().find("metadata.json"), std::string::npos) << error.message();
    }
  }
  // Limits themselves pass.
  const Config edge = read(R"({"blank_idx": 2147483647, "default_prompt_id": -2147483648, "pre_encode_cache": 121,
    "lang_tag_token_ids": [0, 2147483647]})");
  EXPECT_EQ(edge.blankIdx, 2147483647);
  EXPECT_EQ(edge.preEncodeCache, 121);
}

TEST(NemotronMultilingualPromptIdTest, FindsTheCodeInSevenSteps) {
  Config config;
  config.defaultPromptId = 101;
  config.promptDictionary = {{"en", 0}, {"pt", 12}, {"pt-BR", 13}, {"zh-Hant-TW", 20}, {"x_y", 30}};
  struct Case {
    const char* name;
    std::optional<std::string> code;
    std::int64_t id;
  };
  for (const Case& c : {Case{"none", std::nullopt, 101},
                        Case{"empty", "", 101},
                        Case{"exact", "pt-BR", 13},
                        Case{"exact with underscore", "x_y", 30},
                        Case{"underscore and case", "pt_br", 13},
                        Case{"upper-case language", "PT", 12},
                        Case{"language of a region", "en-GB", 0},
                        Case{"unknown", "xx", 101},
                        Case{"region stays whole", "zh-hant-tw", 101},
                        Case{"leading dash", "-pt", 12},
                        Case{"dashes only", "--", 101},
                        Case{"underscore only", "_", 101},
                        Case{"empty region", "PT-", 12},
                        Case{"case-sensitive first step", "Pt-br", 13}}) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(config.promptId(c.code), c.id);
  }
}

}  // namespace
}  // namespace tesselaudio
