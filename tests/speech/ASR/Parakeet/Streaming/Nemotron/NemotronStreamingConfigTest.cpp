#include "speech/ASR/Parakeet/Streaming/Nemotron/NemotronStreamingConfig.h"

#include <fstream>
#include <limits>

#include <gtest/gtest.h>

#include "platform/ml/MLMultiArray.h"
#include "speech/ASR/Parakeet/ASRError.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/ThrownDescription.h"

namespace tesselaudio {
namespace {

namespace fs = std::filesystem;

class NemotronStreamingConfigTest : public ::testing::Test {
 protected:
  fs::path write(const std::string& text) {
    const fs::path file = folder_.path() / ("metadata" + std::to_string(files_++) + ".json");
    std::ofstream(file, std::ios::binary) << text;
    return file;
  }

  testsupport::TemporaryFolder folder_;
  int files_ = 0;
};

TEST(NemotronChunkSizeTest, NamesRepositoryAndFolderOfEachSize) {
  EXPECT_FALSE(NemotronChunkSize::fromRawValue(1000));
  const std::vector<NemotronChunkSize> expected{NemotronChunkSize::ms2240, NemotronChunkSize::ms1120,
                                                NemotronChunkSize::ms560};
  EXPECT_EQ(NemotronChunkSize::allCases(), expected);
  struct Case {
    std::int64_t raw;
    Repo repo;
    const char* subdirectory;
  };
  for (const Case& c : {Case{2240, Repo::nemotronStreaming2240, "nemotron_coreml_2240ms"},
                        Case{1120, Repo::nemotronStreaming1120, "nemotron_coreml_1120ms"},
                        Case{560, Repo::nemotronStreaming560, "nemotron_coreml_560ms"}}) {
    const auto size = NemotronChunkSize::fromRawValue(c.raw);
    ASSERT_TRUE(size);
    EXPECT_EQ(size->rawValue(), c.raw);
    EXPECT_EQ(size->repo(), c.repo);
    EXPECT_EQ(size->subdirectory(), c.subdirectory);
    EXPECT_EQ(size->repo().subPath(), c.subdirectory);
  }
}

TEST_F(NemotronStreamingConfigTest, PlainValuesAreThe2240Geometry) {
  const NemotronStreamingConfig config;
  EXPECT_EQ(config.chunkMelFrames, 224);
  EXPECT_EQ(config.totalMelFrames, 233);
  EXPECT_EQ(config.chunkMs, 2240);
  EXPECT_EQ(config.chunkSamples(), 35840);
}

TEST_F(NemotronStreamingConfigTest, EmptyObjectGivesThe1120Geometry) {
  const NemotronStreamingConfig config(write("{}"));
  EXPECT_EQ(config.chunkMelFrames, 112);
  EXPECT_EQ(config.chunkMs, 1120);
  EXPECT_EQ(config.totalMelFrames, 121);
  EXPECT_EQ(config.preEncodeCache, 9);
  EXPECT_EQ(config.blankIdx, 1024);
  EXPECT_EQ(config.decoderLayers, 2);
  EXPECT_EQ(config.decoderHidden, 640);
  EXPECT_EQ(config.cacheChannelShape, (std::vector<std::int64_t>{1, 24, 70, 1024}));
  EXPECT_EQ(config.cacheTimeShape, (std::vector<std::int64_t>{1, 24, 1024, 8}));
  EXPECT_EQ(config.chunkSamples(), 17920);
}

TEST_F(NemotronStreamingConfigTest, TakesIntegralValuesAndDefaultsWrongTypes) {
  const NemotronStreamingConfig config(write(R"({"chunk_mel_frames": "56", "chunk_ms": 560.0,
      "cache_time_shape": [1, 2, 3], "cache_channel_shape": [1, "2", 3], "total_mel_frames": 65,
      "decoder_hidden": 1.5, "unknown": 7})"));
  EXPECT_EQ(config.chunkMelFrames, 112);
  EXPECT_EQ(config.chunkMs, 560);
  EXPECT_EQ(config.cacheTimeShape, (std::vector<std::int64_t>{1, 2, 3}));
  EXPECT_EQ(config.cacheChannelShape, (std::vector<std::int64_t>{1, 24, 70, 1024}));
  EXPECT_EQ(config.totalMelFrames, 65);
  EXPECT_EQ(config.decoderHidden, 640);
}

TEST_F(NemotronStreamingConfigTest, RefusesFilesThePipelineCannotWorkWith) {
  const struct {
    const char* json;
    const char* description;
  } cases[] = {
      {"[1, 2]", "ASR processing failed: Invalid metadata.json format"},
      {"\"text\"", "ASR processing failed: Invalid metadata.json format"},
      {R"({"mel_features": 0})", nullptr},
      {R"({"chunk_mel_frames": -4})", nullptr},
      {R"({"total_mel_frames": 5})", nullptr},
      {R"({"pre_encode_cache": -1})", nullptr},
      {R"({"decoder_layers": 0})", nullptr},
      {R"({"cache_channel_shape": [1, 0, 70, 1024]})", nullptr},
      {R"({"cache_time_shape": []})", nullptr},
      {R"({"blank_idx": 2147483648})", nullptr},
      {R"({"blank_idx": -1})", nullptr},
      {R"({"mel_features": 1000000000000})", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    NemotronStreamingConfig config;
    try {
      config = NemotronStreamingConfig(write(c.json));
      ADD_FAILURE() << "accepted";
    } catch (const ASRError& error) {
      EXPECT_EQ(error.errorCase(), ASRError::Case::processingFailed);
      if (c.description) {
        EXPECT_EQ(error.description(), c.description);
      }
    }
    EXPECT_EQ(config, NemotronStreamingConfig());
  }
  EXPECT_THROW(NemotronStreamingConfig(write("{\"chunk_ms\": ")), std::exception);
  EXPECT_THROW(NemotronStreamingConfig(folder_.path() / "missing.json"), std::exception);
}

TEST(NemotronMelExtractorTest, FrameCountsOfTheChunkSizes) {
  const auto extractor = NemotronMelExtractor::english(128);
  for (const auto& [samples, frames] : {std::pair<std::size_t, std::int64_t>{35840, 225}, {17920, 113}}) {
    const auto mel = extractor.melSpectrogram(std::vector<float>(samples, 0.01f));
    EXPECT_EQ(mel->shape(), (std::vector<std::int64_t>{1, 128, frames}));
    EXPECT_EQ(mel->dataType(), platform::MLMultiArrayDataType::float32);
  }
}

TEST(NemotronMelExtractorTest, OutputIsBandMajor) {
  const auto extractor = NemotronMelExtractor::english(128);
  std::vector<float> samples(100);
  for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<float>(i % 7) * 0.05f - 0.1f;
  const auto mel = extractor.melSpectrogram(samples);
  ASSERT_EQ(mel->shape(), (std::vector<std::int64_t>{1, 128, 2}));
  AudioMelSpectrogram reference(16000, 128, 512, 160, 400, AudioMelSpectrogram::defaultPreemph, 1, 0x1p-24f,
                                AudioMelSpectrogram::LogFloorMode::additive, false);
  const auto flat = reference.computeFlatTransposed(samples, 0.0f, AudioMelSpectrogram::PaddingMode::center);
  ASSERT_EQ(flat.numFrames, 2);
  const auto* out = static_cast<const float*>(mel->dataPointer());
  for (std::int64_t m = 0; m < 128; ++m) {
    for (std::int64_t t = 0; t < 2; ++t) {
      ASSERT_EQ(out[m * 2 + t], flat.mel[static_cast<std::size_t>(t * 128 + m)]) << m << " " << t;
    }
  }
  EXPECT_NE(out[0], out[1]);
}

}  // namespace
}  // namespace tesselaudio
