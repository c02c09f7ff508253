#include "speech/Diarizer/Nemotron3/Nemotron3Config.h"

#include <string>

#include <gtest/gtest.h>

#include "speech/Diarizer/Nemotron3/Nemotron3Error.h"
#include "speech/Diarizer/Nemotron3/Nemotron3StreamingState.h"

namespace tesselaudio {
namespace {

struct PresetCase {
  const char* name;
  Nemotron3Config (*preset)();  // null for the presets that exist only by name
  std::int64_t chunkLen, rightContext, fifoLen, spkcacheLen, updatePeriod;
  const char* modelFileName;
  bool splitGraph;
  double chunkSeconds, latencySeconds;
  std::int64_t chunkEncFrames, chunkMelFrames, packedFrames;
  const char* hubSubdirectory;
};

const PresetCase kPresets[] = {
    {"offline", &Nemotron3Config::offline, 340, 40, 40, 264, 300, "Nemotron3Diarizer_offline.mlmodelc", false, 27.2, 30.4, 380, 3040, 684, "monolithic/v2"},
    {"low", &Nemotron3Config::low, 9, 4, 264, 264, 222, "Nemotron3Diarizer_low.mlmodelc", false, 0.72, 1.04, 13, 104, 541, "monolithic/v2"},
    {"verylow", &Nemotron3Config::veryLow, 6, 2, 264, 264, 222, "Nemotron3Diarizer_verylow.mlmodelc", false, 0.48, 0.64, 8, 64, 536, "monolithic/v2"},
    {"ultra", &Nemotron3Config::ultraLow, 3, 1, 264, 264, 222, "Nemotron3Diarizer_ultra.mlmodelc", false, 0.24, 0.32, 4, 32, 532, "monolithic/v2"},
    {"fast", &Nemotron3Config::fast, 9, 4, 40, 264, 40, "Nemotron3Diarizer_fast.mlmodelc", false, 0.72, 1.04, 13, 104, 317, "monolithic/v2"},
    {"efficient", &Nemotron3Config::efficient, 48, 4, 264, 264, 222, "Nemotron3Diarizer_efficient.mlmodelc", false, 3.84, 4.16, 52, 416, 580, "monolithic/v2"},
    {"fast24", &Nemotron3Config::fast24, 24, 4, 40, 264, 40, "Nemotron3Diarizer_fast24.mlmodelc", false, 1.92, 2.24, 28, 224, 332, "monolithic/v2"},
    {"fast32", &Nemotron3Config::fast32, 32, 4, 40, 264, 40, "Nemotron3Diarizer_fast32.mlmodelc", false, 2.56, 2.88, 36, 288, 340, "monolithic/v2"},
    {"fast128", &Nemotron3Config::fast128, 128, 4, 40, 264, 40, "Nemotron3Diarizer_fast128.mlmodelc", false, 10.24, 10.56, 132, 1056, 436, "monolithic/v2"},
    {"fast32-split", nullptr, 32, 4, 40, 264, 40, "Nemotron3Diarizer_s32_split.mlmodelc", true, 2.56, 2.88, 36, 288, 340, "split"},
    {"fast32-split-w8a8", nullptr, 32, 4, 40, 264, 40, "Nemotron3Diarizer_s32_split_w8a8.mlmodelc", true, 2.56, 2.88, 36, 288, 340, "split"},
    {"c128-split", nullptr, 128, 4, 40, 264, 40, "Nemotron3Diarizer_c128_split.mlmodelc", true, 10.24, 10.56, 132, 1056, 436, "split"},
    {"c128-split-w8a8", nullptr, 128, 4, 40, 264, 40, "Nemotron3Diarizer_c128_split_w8a8.mlmodelc", true, 10.24, 10.56, 132, 1056, 436, "split"},
    {"c192-split", nullptr, 192, 4, 40, 264, 40, "Nemotron3Diarizer_c192_split.mlmodelc", true, 15.36, 15.68, 196, 1568, 500, "split"},
    {"c256-split", nullptr, 256, 4, 40, 264, 40, "Nemotron3Diarizer_c256_split.mlmodelc", true, 20.48, 20.8, 260, 2080, 564, "split"},
};

TEST(Nemotron3ConfigTest, EveryPresetNameGivesItsRow) {
  for (const auto& c : kPresets) {
    SCOPED_TRACE(c.name);
    const auto config = Nemotron3Config::preset(c.name);
    ASSERT_TRUE(config.has_value());
    EXPECT_EQ(config->chunkLen, c.chunkLen);
    EXPECT_EQ(config->chunkLeftContext, 0);
    EXPECT_EQ(config->chunkRightContext, c.rightContext);
    EXPECT_EQ(config->fifoLen, c.fifoLen);
    EXPECT_EQ(config->spkcacheLen, c.spkcacheLen);
    EXPECT_EQ(config->spkcacheUpdatePeriod, c.updatePeriod);
    EXPECT_EQ(config->modelFileName, c.modelFileName);
    EXPECT_EQ(config->splitGraph, c.splitGraph);
    EXPECT_DOUBLE_EQ(config->chunkSeconds(), c.chunkSeconds);
    EXPECT_DOUBLE_EQ(config->latencySeconds(), c.latencySeconds);
    EXPECT_EQ(config->chunkEncFrames(), c.chunkEncFrames);
    EXPECT_EQ(config->chunkMelFrames(), c.chunkMelFrames);
    EXPECT_EQ(config->packedFrames(), c.packedFrames);
    EXPECT_EQ(config->hubSubdirectory(), c.hubSubdirectory);
    EXPECT_EQ(config->outputFrameSeconds(), 0.01f);
    if (c.preset) {
      EXPECT_EQ(*config, c.preset());
    }
  }
}

TEST(Nemotron3ConfigTest, PresetsKeepTheModelDefaults) {
  const auto config = Nemotron3Config::offline();
  EXPECT_EQ(config.numSpeakers, 8);
  EXPECT_EQ(config.preEncoderDims, 512);
  EXPECT_EQ(config.subsamplingFactor, 8);
  EXPECT_EQ(config.melFeatures, 128);
  EXPECT_EQ(config.sampleRate, 16000);
  EXPECT_EQ(config.upsampleFactor, 8);
  EXPECT_EQ(config.silenceThreshold, 0.2f);
  EXPECT_EQ(config.predScoreThreshold, 0.25f);
  EXPECT_EQ(config.scoresBoostLatest, 0.05f);
  EXPECT_EQ(config.strongBoostRate, 0.75f);
  EXPECT_EQ(config.weakBoostRate, 1.5f);
  EXPECT_EQ(config.minPosScoresRate, 0.5f);
  EXPECT_EQ(config.spkcacheSilFramesPerSpk, 1);
  EXPECT_EQ(config.maxIndex, 99999);
  EXPECT_FALSE(config.debugMode);
}

TEST(Nemotron3ConfigTest, Int8SuffixesSwapTheModelFile) {
  struct Case {
    const char* name;
    const char* base;
    const char* modelFileName;
  };
  const Case cases[] = {
      {"fast-int8", "fast", "Nemotron3Diarizer_fast_int8.mlmodelc"},
      {"offline-int8", "offline", "Nemotron3Diarizer_offline_int8.mlmodelc"},
      {"c128-split-int8", "c128-split", "Nemotron3Diarizer_c128_split_int8.mlmodelc"},
      {"fast32-split-w8a8-int8", "fast32-split-w8a8", "Nemotron3Diarizer_s32_split_w8a8_int8.mlmodelc"},
      {"offline-int8-int8", "offline", "Nemotron3Diarizer_offline_int8_int8.mlmodelc"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto config = Nemotron3Config::preset(c.name);
    ASSERT_TRUE(config.has_value());
    EXPECT_EQ(config->modelFileName, c.modelFileName);
    auto expected = *Nemotron3Config::preset(c.base);
    expected.modelFileName = c.modelFileName;
    EXPECT_EQ(*config, expected);
  }
  EXPECT_TRUE(Nemotron3Config::preset("fast32-split-w8a8-int8")->splitGraph);
}

TEST(Nemotron3ConfigTest, OtherNamesGiveNone) {
  for (const char* name : {"Offline", "veryLow", "ultraLow", "-int8", "medium-int8", "", "offline ", "int8",
                           "offline-INT8", "offline_int8"}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(Nemotron3Config::preset(name).has_value());
  }
}

TEST(Nemotron3ConfigTest, ThousandsOfInt8SuffixesNeedNoDeepRecursion) {
  std::string name = "low";
  std::string expected = "Nemotron3Diarizer_low";
  for (int i = 0; i < 20000; ++i) {
    name += "-int8";
    expected += "_int8";
  }
  const auto config = Nemotron3Config::preset(name);
  ASSERT_TRUE(config.has_value());
  EXPECT_EQ(config->modelFileName, expected + ".mlmodelc");
  EXPECT_FALSE(Nemotron3Config::preset("nothing" + name.substr(3)).has_value());
}

TEST(Nemotron3ConfigTest, FreshStateIsSizedAndEmpty) {
  const Nemotron3StreamingState state(Nemotron3Config::low());
  EXPECT_EQ(state.fifo, std::vector<float>(512 * 264, 0.0f));
  EXPECT_EQ(state.fifoPreds, std::vector<float>(8 * 264, 0.0f));
  EXPECT_EQ(state.spkcache, std::vector<float>(512 * 264, 0.0f));
  EXPECT_EQ(state.spkcachePreds, std::vector<float>(264 * 8, 0.0f));
  EXPECT_EQ(state.fifoLength, 0);
  EXPECT_EQ(state.spkcacheLength, 0);
  EXPECT_FALSE(state.spkcacheCompressed);
}

TEST(Nemotron3ConfigTest, ErrorsPutTheMessageRightAfterTheirPrefix) {
  using Code = Nemotron3Error::Code;
  struct Case {
    Nemotron3Error error;
    Code code;
    const char* description;
  };
  const Case cases[] = {
      {Nemotron3Error::modelLoadFailed("x"), Code::modelLoadFailed, "Failed to load Nemotron 3 diarization model: x"},
      {Nemotron3Error::inferenceFailed("x"), Code::inferenceFailed, "Nemotron 3 diarization inference failed: x"},
      {Nemotron3Error::invalidState("x"), Code::invalidState, "Invalid Nemotron 3 diarization state: x"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.description);
    EXPECT_EQ(c.error.errorDescription(), c.description);
    EXPECT_EQ(c.error.errorCode(), c.code);
    EXPECT_EQ(c.error.typeName(), "Nemotron3Error");
  }
}

}  // namespace
}  // namespace tesselaudio
