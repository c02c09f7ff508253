#include "speech/ASR/Paraformer/ParaformerManager.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ml/MLModelError.h"
#include "speech/ASR/Parakeet/ASRError.h"
#include "speech/ASR/Paraformer/ParaformerModels.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Shared/AudioConverter.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/ParaformerModelBuilder.h"
#include "tests/support/SystemLogCapture.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/ThrownDescription.h"

namespace tesselaudio {
namespace {

using testsupport::paraformerWeightedAudio;
using testsupport::ParaformerStandIns;

// The stand-in decoder's text for K tokens: the pieces of ids 3 … K + 2.
std::string piecesOfFirstTokens(int count) {
  const auto pieces = testsupport::paraformerPieces();
  std::string text;
  for (int k = 0; k < count; ++k) text += pieces.at(static_cast<std::size_t>(3 + k));
  return text;
}

// A recogniser over the stand-ins written into a temporary folder, with the log captured.
class ParaformerManagerTest : public testing::Test {
 protected:
  void SetUp() override { AppLogger::setMirrorsToConsole(false); }
  void TearDown() override { AppLogger::setMirrorsToConsole(true); }

  std::unique_ptr<ParaformerManager> recogniser(const ParaformerStandIns& options = {}) {
    const auto set = folder_ / ("set" + std::to_string(sets_++));
    testsupport::writeParaformerFolder(set, options);
    return std::make_unique<ParaformerManager>(ParaformerModels::load(set, ParaformerPrecision::fp16));
  }

  std::vector<std::string> warnings() const {
    std::vector<std::string> out;
    for (const auto& record : log_.records()) {
      if (record.category == "ParaformerManager") out.push_back(record.message);
    }
    return out;
  }

  testsupport::TemporaryFolder folder_;
  testsupport::SystemLogCapture log_;
  int sets_ = 0;
};

TEST_F(ParaformerManagerTest, DecodesOneTokenPerFire) {
  const auto paraformer = recogniser();
  struct Case {
    const char* name;
    std::vector<float> weights;
    int tokens;
  };
  const Case cases[] = {
      {"TwoFramesOneToken", {0.5f, 0.7f}, 1},
      {"TailStepAddsAToken", {1.5f, 0.1f}, 2},
      {"EveryFrameAToken", {1.0f, 1.0f, 1.0f}, 3},
      {"TwoHundredFiresDecodeOnly128", std::vector<float>(200, 1.0f), 128},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(paraformer->transcribe(paraformerWeightedAudio(c.weights)), piecesOfFirstTokens(c.tokens));
  }
}

TEST_F(ParaformerManagerTest, LongAudioIsCutTo512FramesAndEncodedInItsBucket) {
  // Every weight is 64 / bucket, so T frames give T · 64 / bucket tokens.
  ParaformerStandIns bucketWeights;
  bucketWeights.bucketAlphas = true;
  const auto paraformer = recogniser(bucketWeights);
  struct Case {
    int frames;
    int tokens;
  };
  const Case cases[] = {{100, 50}, {129, 32}, {600, 64}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.frames) + " frames");
    const std::vector<float> audio(static_cast<std::size_t>(c.frames) * 160, 0.0f);
    EXPECT_EQ(paraformer->transcribe(audio), piecesOfFirstTokens(c.tokens));
  }
  EXPECT_EQ(warnings(), std::vector<std::string>{"audio too long (600 frames); truncating to 512"});
}

TEST_F(ParaformerManagerTest, NoFireGivesNothingWithoutRunningTheDecoder) {
  ParaformerStandIns failing;
  failing.failingDecoder = true;
  const auto paraformer = recogniser(failing);
  const auto quiet = paraformerWeightedAudio({0.1f, 0.2f, 0.1f});
  EXPECT_EQ(paraformer->transcribe(quiet), "");
  EXPECT_TRUE(paraformer->transcribeWithTimestamps(quiet).empty());
  // The decoder does fail once a token fires.
  EXPECT_THROW(paraformer->transcribe(paraformerWeightedAudio({1.0f})), platform::MLModelError);
}

TEST_F(ParaformerManagerTest, MissingOrShortOutputsAreNamed) {
  struct Case {
    const char* name;
    ParaformerStandIns options;
    const char* description;
  };
  const auto with = [](auto change) {
    ParaformerStandIns options;
    change(options);
    return options;
  };
  const Case cases[] = {
      {"NoFeatures", with([](auto& o) { o.featuresName = "feats"; }),
       "ASR processing failed: Paraformer preprocessor produced no `features`"},
      {"NoEncOut", with([](auto& o) { o.encOutName = "encoded"; }),
       "ASR processing failed: Paraformer encoder produced no `enc_out`"},
      {"NoAlphas", with([](auto& o) { o.alphasName = "frame_weights"; }),
       "ASR processing failed: Paraformer CifAlphas produced no `alphas`"},
      {"NoLogits", with([](auto& o) { o.logitsName = "scores"; }),
       "ASR processing failed: Paraformer decoder produced no `logits`"},
      {"NarrowFeatures", with([](auto& o) { o.featureWidth = 100; }),
       "ASR processing failed: Paraformer preprocessor produced `features` of shape [1, 3, 100]; "
       "3 frames of 560 values needed"},
      {"FewEncoderRows", with([](auto& o) { o.encOutRows = 2; }),
       "ASR processing failed: Paraformer encoder produced `enc_out` of shape [1, 2, 512]; "
       "[1, at least 3, 512] needed"},
      {"FlatEncoderOutput", with([](auto& o) { o.flatEncOut = true; }),
       "ASR processing failed: Paraformer encoder produced `enc_out` of shape [1, 65536]; "
       "[1, at least 3, 512] needed"},
      {"FewWeights", with([](auto& o) { o.alphasValues = 2; }),
       "ASR processing failed: Paraformer CifAlphas produced `alphas` of shape [1, 2]; 3 weights needed"},
      {"FewLogitsRows", with([](auto& o) { o.logitsRows = 2; }),
       "ASR processing failed: Paraformer decoder produced `logits` of shape [1, 2, 140]; "
       "[1, at least 3, V] needed"},
  };
  const auto audio = paraformerWeightedAudio({1.0f, 1.0f, 1.0f});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto paraformer = recogniser(c.options);
    EXPECT_EQ(testsupport::thrownDescription<ASRError>([&] { paraformer->transcribe(audio); }), c.description);
  }
}

TEST_F(ParaformerManagerTest, EncoderOutputOfAnyFloatTypeGivesTheSameText) {
  const auto audio = paraformerWeightedAudio({1.5f, 0.1f, 1.0f});
  const std::string expected = recogniser()->transcribe(audio);
  ASSERT_EQ(expected, piecesOfFirstTokens(3));
  for (const auto type : {testsupport::ElementType::float16, testsupport::ElementType::float64}) {
    SCOPED_TRACE(static_cast<int>(type));
    ParaformerStandIns options;
    options.encOutType = type;
    EXPECT_EQ(recogniser(options)->transcribe(audio), expected);
  }
}

TEST_F(ParaformerManagerTest, ContinuationMarkerJoinsTimestampedWordsOnly) {
  ParaformerStandIns marked;
  marked.pieces = testsupport::paraformerPieces();
  marked.pieces[3] = "ab@@";
  marked.pieces[4] = "\u2581cd";
  const auto paraformer = recogniser(marked);
  // Fires at frames 1 and 3, then a second of silence.
  std::vector<float> weights(100, 0.0f);
  std::fill(weights.begin(), weights.begin() + 4, 0.5f);
  const auto audio = paraformerWeightedAudio(weights);

  EXPECT_EQ(paraformer->transcribe(audio), "ab@@ cd");
  const auto words = paraformer->transcribeWithTimestamps(audio);
  ASSERT_EQ(words.size(), 1u);
  EXPECT_EQ(words[0].text, "abcd");
  EXPECT_DOUBLE_EQ(words[0].startTime, 0.0);
  EXPECT_DOUBLE_EQ(words[0].endTime, 0.5);
}

TEST_F(ParaformerManagerTest, AudioFileIsConvertedFirst) {
  const auto paraformer = recogniser();
  const auto file = folder_ / "speech.m4a";
  std::vector<float> signal = testsupport::sine(440, 16000, 16000, 0.2f);
  for (float& sample : signal) sample += 0.1f;
  testsupport::writeAac(file, 16000, {signal});
  const auto samples = AudioConverter().resampleAudioFile(file);

  const std::string text = paraformer->transcribe(file);
  EXPECT_FALSE(text.empty());
  EXPECT_EQ(text, paraformer->transcribe(samples));
  EXPECT_EQ(paraformer->transcribeWithTimestamps(file), paraformer->transcribeWithTimestamps(samples));
  EXPECT_THROW(paraformer->transcribe(folder_ / "missing.m4a"), platform::Error);
}

TEST_F(ParaformerManagerTest, AudioShorterThanAFrameGivesNothing) {
  const auto paraformer = recogniser();
  for (const std::size_t samples : {std::size_t{0}, std::size_t{159}}) {
    SCOPED_TRACE(std::to_string(samples) + " samples");
    const std::vector<float> audio(samples, 0.5f);
    EXPECT_EQ(paraformer->transcribe(audio), "");
    EXPECT_TRUE(paraformer->transcribeWithTimestamps(audio).empty());
  }
}

}  // namespace
}  // namespace tesselaudio
