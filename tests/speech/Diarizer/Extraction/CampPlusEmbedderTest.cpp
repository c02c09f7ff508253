#include "speech/Diarizer/Extraction/CampPlusEmbedder.h"

#include <cmath>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "speech/ASR/Parakeet/ASRError.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Shared/AudioConverter.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/CampPlusModelBuilder.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/ThrownDescription.h"

namespace tesselaudio {
namespace {

namespace fs = std::filesystem;
using testsupport::ModelBuilder;

constexpr std::size_t kBins = 80;

double norm(const std::vector<float>& values) {
  double sum = 0;
  for (float v : values) sum += static_cast<double>(v) * v;
  return std::sqrt(sum);
}

// What the echo stand-ins give: the scaled waveform in frames of 80, each bin's mean over time
// (summed in double precision, then rounded to single) removed, the first 192 values, unit length.
std::vector<double> expectedEcho(const std::vector<float>& audio) {
  const std::size_t frames = audio.size() / kBins;
  std::vector<float> features(frames * kBins);
  for (std::size_t i = 0; i < features.size(); ++i) features[i] = audio[i] * 32768.0f;
  for (std::size_t b = 0; b < kBins && frames > 0; ++b) {
    double sum = 0;
    for (std::size_t t = 0; t < frames; ++t) sum += features[t * kBins + b];
    const float mean = static_cast<float>(sum / static_cast<double>(frames));
    for (std::size_t t = 0; t < frames; ++t) features[t * kBins + b] -= mean;
  }
  std::vector<double> out(features.begin(), features.begin() + std::min<std::ptrdiff_t>(features.size(), 192));
  double sum = 0;
  for (double v : out) sum += v * v;
  for (double& v : out) v /= std::max(std::sqrt(sum), 1e-9);
  return out;
}

// 1000 frames near 2^24 after scaling, 0, 2 or 4 above it: a running single-precision sum of them
// drifts by whole units, which is as large as the values left after the mean is removed.
std::vector<float> largeOffsets() {
  std::vector<float> audio(1000 * kBins);
  for (std::size_t i = 0; i < audio.size(); ++i) {
    audio[i] = (16777216.0f + 2.0f * static_cast<float>((i / kBins + i % kBins) % 3)) / 32768.0f;
  }
  return audio;
}

std::vector<float> ramp(std::size_t count, float scale) {
  std::vector<float> audio(count);
  for (std::size_t i = 0; i < count; ++i) {
    audio[i] = scale * static_cast<float>(std::sin(0.013 * static_cast<double>(i * i % 977) + 0.1 * i));
  }
  return audio;
}

class CampPlusEmbedderTest : public testing::Test {
 protected:
  void SetUp() override { AppLogger::setMirrorsToConsole(false); }
  void TearDown() override { AppLogger::setMirrorsToConsole(true); }

  std::unique_ptr<CampPlusEmbedder> embedder(const ModelBuilder& preprocessor, const ModelBuilder& model) {
    const fs::path folder = folder_.path() / std::to_string(made_++);
    preprocessor.writeBundle(folder);
    model.writeBundle(folder);
    return std::make_unique<CampPlusEmbedder>(CampPlusModels::load(folder));
  }

  std::unique_ptr<CampPlusEmbedder> echo() {
    return embedder(testsupport::campPlusPreprocessor(), testsupport::campPlusEchoModel());
  }

  testsupport::TemporaryFolder folder_;
  int made_ = 0;
};

TEST_F(CampPlusEmbedderTest, ScalesTheWaveformAndRemovesEachBinsMeanOverTime) {
  struct Case {
    const char* name;
    std::vector<float> audio;
  };
  const Case cases[] = {
      {"threeFrames", ramp(3 * kBins, 0.5f)},
      {"partialLastFrame", ramp(7 * kBins + 13, 0.25f)},
      {"largeOffsets", largeOffsets()},
      // Without the 32768 the norm would fall under its floor and the result would not be unit length.
      {"tinySamples", ramp(4 * kBins, 1e-13f)},
  };
  const auto embedder = echo();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto embedding = embedder->embed(c.audio);
    const auto expected = expectedEcho(c.audio);
    ASSERT_EQ(embedding.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
      EXPECT_NEAR(embedding[i], expected[i], 1e-5 * std::abs(expected[i]) + 1e-7) << "at " << i;
    }
    EXPECT_NEAR(norm(embedding), 1.0, 1e-5);
  }
}

TEST_F(CampPlusEmbedderTest, NoFramesPassUnchanged) {
  const auto embedder = echo();
  EXPECT_TRUE(embedder->embed(std::vector<float>{}).empty());
  EXPECT_TRUE(embedder->embed(ramp(kBins - 1, 0.5f)).empty());
  // The next call works as before.
  EXPECT_EQ(embedder->embed(ramp(3 * kBins, 0.5f)).size(), 192u);
}

TEST_F(CampPlusEmbedderTest, ReportsMissingOrMisshapenOutputs) {
  struct Case {
    const char* name;
    ModelBuilder preprocessor, model;
    std::string message;
  };
  const Case cases[] = {
      {"noFeatures", testsupport::campPlusPreprocessorWithoutFeatures(), testsupport::campPlusEchoModel(),
       "ASR processing failed: CAM++ preprocessor produced no `features`"},
      {"flatFeatures", testsupport::campPlusFlatPreprocessor(), testsupport::campPlusEchoModel(),
       "ASR processing failed: CAM++ preprocessor features: expected float32 [1, T, 80], got float32 [1, 200]"},
      {"noEmbedding", testsupport::campPlusPreprocessor(), testsupport::campPlusModelWithoutEmbedding(),
       "ASR processing failed: CAM++ produced no `embedding`"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto broken = embedder(c.preprocessor, c.model);
    const auto audio = ramp(4 * kBins, 0.5f);
    EXPECT_EQ(testsupport::thrownDescription<ASRError>([&] { broken->embed(audio); }), c.message);
    EXPECT_EQ(testsupport::thrownDescription<ASRError>([&] { broken->embed(audio); }), c.message);
  }
}

TEST_F(CampPlusEmbedderTest, AllZeroOutputStaysZero) {
  const auto zeros = embedder(testsupport::campPlusPreprocessor(), testsupport::campPlusZeroModel());
  EXPECT_EQ(zeros->embed(ramp(4 * kBins, 0.5f)), std::vector<float>(192, 0.0f));
}

TEST_F(CampPlusEmbedderTest, CosineIsTheDotProductOverTheShorterList) {
  struct Case {
    const char* name;
    std::vector<float> a, b;
    float expected;
  };
  const Case cases[] = {
      {"extraValueIgnored", {1, 0}, {0.6f, 0.8f, 5}, 0.6f},
      {"firstLonger", {0.6f, 0.8f, 5}, {1, 0}, 0.6f},
      {"firstEmpty", {}, {0.6f, 0.8f}, 0.0f},
      {"secondEmpty", {0.6f, 0.8f}, {}, 0.0f},
      {"notNormalised", {2, 3}, {4, 5}, 23.0f},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FLOAT_EQ(CampPlusEmbedder::cosine(c.a, c.b), c.expected);
  }
}

TEST_F(CampPlusEmbedderTest, EmbedsAFileAsItsConvertedSamples) {
  const auto pooling = embedder(testsupport::campPlusPreprocessor(), testsupport::campPlusPoolingModel());
  const fs::path wav = folder_.path() / "stereo.wav";
  testsupport::writeEncoded(wav, 44100,
                            {testsupport::sine(220, 44100, 44100), testsupport::sine(330, 44100, 44100, 0.3f)},
                            "pcm_s16le");

  const auto fromFile = pooling->embed(wav);
  const auto fromSamples = pooling->embed(AudioConverter().resampleAudioFile(wav));
  EXPECT_EQ(fromFile, fromSamples);
  EXPECT_EQ(fromFile.size(), 192u);
  EXPECT_NEAR(norm(fromFile), 1.0, 1e-5);
}

TEST_F(CampPlusEmbedderTest, AFileThatIsNoAudioGivesTheConvertersError) {
  const auto pooling = embedder(testsupport::campPlusPreprocessor(), testsupport::campPlusPoolingModel());
  const fs::path text = folder_.path() / "notes.wav";
  { std::ofstream(text) << "these are notes, not sound"; }

  std::string converterError;
  try {
    AudioConverter().resampleAudioFile(text);
  } catch (const platform::Error& error) {
    converterError = error.description();
  }
  ASSERT_FALSE(converterError.empty());
  EXPECT_EQ(testsupport::thrownDescription<platform::Error>([&] { pooling->embed(text); }), converterError);
  EXPECT_EQ(pooling->embed(ramp(4 * kBins, 0.5f)).size(), 192u);
}

}  // namespace
}  // namespace tesselaudio
