#include "speech/ASR/Parakeet/SlidingWindow/CustomVocabulary/WordSpotting/CtcKeywordSpotter.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/sys/CancellationError.h"
#include "speech/ASR/Parakeet/ASRError.h"
#include "speech/ASR/Parakeet/SlidingWindow/CustomVocabulary/WordSpotting/CtcModels.h"
#include "speech/ASR/Parakeet/SlidingWindow/CustomVocabulary/WordSpotting/CtcTokenizer.h"
#include "speech/Shared/AppLogger.h"
#include "tests/support/CtcModelBuilder.h"
#include "tests/support/SystemLogCapture.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/ThrownDescription.h"

namespace tesselaudio {
namespace {

namespace fs = std::filesystem;
using testsupport::CtcStandIns;
using testsupport::ElementType;

constexpr int kBlank = 40;  // the stand-in's V - 1
constexpr int kSamplesPerFrame = 1000;

// Index of each row's largest entry.
std::vector<int> argmaxes(const CtcLogProbMatrix& matrix) {
  std::vector<int> ids;
  for (const auto& row : matrix) ids.push_back(static_cast<int>(std::max_element(row.begin(), row.end()) - row.begin()));
  return ids;
}

// Equal within half-float precision, plus `slack` (integer outputs drop the logits' fractions).
void expectSameMatrix(const CtcLogProbMatrix& actual, const CtcLogProbMatrix& expected, float slack = 0) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t t = 0; t < actual.size(); ++t) {
    ASSERT_EQ(actual[t].size(), expected[t].size()) << "row " << t;
    for (std::size_t v = 0; v < actual[t].size(); ++v) {
      const float tolerance = 2e-3f * (1 + std::abs(expected[t][v])) + slack;
      ASSERT_NEAR(actual[t][v], expected[t][v], tolerance) << "row " << t << ", index " << v;
    }
  }
}

// A frame sequence: silence, the given ids one frame each with a blank frame after each, silence.
std::vector<std::int64_t> spoken(int leadingBlanks, const std::vector<std::int64_t>& ids, int totalFrames) {
  std::vector<std::int64_t> frames(static_cast<std::size_t>(leadingBlanks), kBlank);
  for (std::int64_t id : ids) {
    frames.push_back(id);
    frames.push_back(kBlank);
  }
  frames.resize(static_cast<std::size_t>(totalFrames), kBlank);
  return frames;
}

// Stand-in pairs written into a temporary folder and loaded directly, one folder per variant.
class CtcKeywordSpotterTest : public testing::Test {
 protected:
  void SetUp() override { AppLogger::setMirrorsToConsole(false); }
  void TearDown() override { AppLogger::setMirrorsToConsole(true); }

  CtcKeywordSpotter spotterFor(const CtcStandIns& options = {}) {
    const fs::path folder = scratch_.path() / std::to_string(folders_++);
    testsupport::writeCtcFolder(folder, options);
    return CtcKeywordSpotter(CtcModels::loadDirect(folder, CtcModelVariant::ctc110m), kBlank);
  }

  testsupport::TemporaryFolder scratch_;
  int folders_ = 0;
};

TEST_F(CtcKeywordSpotterTest, OneFullWindowKeepsEveryFrame) {
  const CtcKeywordSpotter spotter = spotterFor();
  const auto audio = testsupport::ctcSpokenAudio(spoken(3, {5, 5, 12}, 240));
  ASSERT_EQ(audio.size(), 240000u);
  const auto result = spotter.computeWithStagedModels(audio);
  EXPECT_EQ(result.totalFrames, 240);
  EXPECT_EQ(result.audioSamplesUsed, 240000);
  EXPECT_DOUBLE_EQ(result.frameDuration, 0.0625);
  EXPECT_EQ(argmaxes(result.logProbs), [] {
    std::vector<int> ids;
    for (std::int64_t id : spoken(3, {5, 5, 12}, 240)) ids.push_back(static_cast<int>(id));
    return ids;
  }());
  for (const auto& row : result.logProbs) {
    ASSERT_EQ(row.size(), 41u);
    float sum = 0;
    for (float value : row) sum += std::exp(value);
    ASSERT_NEAR(sum, 1.0f, 1e-4);
  }
}

TEST_F(CtcKeywordSpotterTest, ShortAudioIsTrimmedToItsFrames) {
  const CtcKeywordSpotter spotter = spotterFor();
  struct Case {
    std::size_t samples;
    int frames;
  };
  for (const Case c : {Case{10, 1}, Case{1000, 1}, Case{1001, 2}, Case{32001, 33}}) {
    SCOPED_TRACE(c.samples);
    const std::vector<float> audio(c.samples, testsupport::ctcCode(7));
    const auto result = spotter.computeWithStagedModels(audio);
    EXPECT_EQ(result.totalFrames, c.frames);
    EXPECT_EQ(result.audioSamplesUsed, static_cast<int>(c.samples));
    EXPECT_DOUBLE_EQ(result.frameDuration, static_cast<double>(c.samples) / c.frames / 16000);
  }
}

TEST_F(CtcKeywordSpotterTest, LongAudioIsChunkedAndItsOverlapAveraged) {
  const CtcKeywordSpotter spotter = spotterFor();
  const auto single = spotter.computeWithStagedModels(testsupport::ctcSpokenAudio(spoken(200, {3, 9, 17}, 240)));

  auto audio = testsupport::ctcSpokenAudio(spoken(200, {3, 9, 17}, 240));
  audio.push_back(testsupport::ctcCode(20));
  const auto chunked = spotter.computeLogProbsChunked(audio);
  // [0, 240000) gives 240 rows; [208000, 240001) gives 33, of which 32 are averaged and 1 appended.
  ASSERT_EQ(chunked.totalFrames, 241);
  EXPECT_EQ(chunked.audioSamplesUsed, 240001);
  EXPECT_DOUBLE_EQ(chunked.frameDuration, 0.0625);
  // The shared rows saw the same samples twice: averaging leaves them as they were.
  expectSameMatrix(CtcLogProbMatrix(chunked.logProbs.begin(), chunked.logProbs.begin() + 240), single.logProbs);

  std::vector<float> longer(500000, 0.0f);
  const auto three = spotter.computeLogProbsChunked(longer);
  // 240 rows, then 240 - 32 and 84 - 32 appended.
  EXPECT_EQ(three.totalFrames, 500);
  EXPECT_EQ(three.audioSamplesUsed, 500000);
}

TEST_F(CtcKeywordSpotterTest, AveragingNegativeInfinitiesStaysNegativeInfinity) {
  // Half floats cannot hold the distant logits: they arrive as -inf.
  CtcStandIns options;
  options.sharpness = 1e6f;
  options.outputType = ElementType::float16;
  const CtcKeywordSpotter spotter = spotterFor(options);
  std::vector<float> audio(240001, testsupport::ctcCode(2));
  const auto result = spotter.computeLogProbsChunked(audio);
  ASSERT_EQ(result.totalFrames, 241);
  const auto& shared = result.logProbs[230];
  EXPECT_EQ(shared[39], -std::numeric_limits<float>::infinity());
  for (const auto& row : result.logProbs) {
    ASSERT_TRUE(std::none_of(row.begin(), row.end(), [](float v) { return std::isnan(v); }));
  }
}

TEST_F(CtcKeywordSpotterTest, EveryLayoutAndElementTypeGivesTheSameMatrix) {
  const auto audio = testsupport::ctcSpokenAudio(spoken(10, {0, 1, 2, 39, 20}, 120));
  const auto expected = spotterFor().computeWithStagedModels(audio).logProbs;
  struct Case {
    std::string name;
    CtcStandIns options;
  };
  std::vector<Case> cases;
  for (ElementType type : {ElementType::float32, ElementType::float16, ElementType::float64, ElementType::int32}) {
    for (bool rank4 : {false, true}) {
      CtcStandIns options;
      options.outputType = type;
      options.rank4Output = rank4;
      cases.push_back({"type " + std::to_string(static_cast<int>(type)) + (rank4 ? ", rank 4" : ", rank 3"), options});
    }
  }
  CtcStandIns rank1Audio;
  rank1Audio.rank1Audio = true;
  cases.push_back({"rank-1 audio", rank1Audio});
  CtcStandIns halfAudio;
  halfAudio.float16Audio = true;
  cases.push_back({"half-float audio", halfAudio});
  CtcStandIns rawOnly;
  rawOnly.softmaxOutput = false;
  cases.push_back({"raw output only", rawOnly});
  CtcStandIns noMelLength;
  noMelLength.melLength = false;
  cases.push_back({"no mel_length output", noMelLength});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto actual = spotterFor(c.options).computeWithStagedModels(audio).logProbs;
    if (c.options.float16Audio) {
      EXPECT_EQ(argmaxes(actual), argmaxes(expected));  // half-float samples move the levels a little
    } else {
      expectSameMatrix(actual, expected, c.options.outputType == ElementType::int32 ? 1.0f : 0.0f);
    }
  }
}

TEST_F(CtcKeywordSpotterTest, RawOutputIsPreferredOverTheSoftmax) {
  const auto audio = testsupport::ctcSpokenAudio(spoken(4, {6, 7}, 30));
  CtcStandIns rawOnly;
  rawOnly.softmaxOutput = false;
  CtcStandIns softmaxOnly;
  softmaxOnly.rawOutput = false;
  const auto both = spotterFor().computeWithStagedModels(audio).logProbs;
  expectSameMatrix(both, spotterFor(rawOnly).computeWithStagedModels(audio).logProbs);
  // The softmax output is log-softmaxed again: a flatter matrix.
  const auto fallback = spotterFor(softmaxOnly).computeWithStagedModels(audio).logProbs;
  ASSERT_EQ(fallback.size(), both.size());
  EXPECT_EQ(argmaxes(fallback), argmaxes(both));
  EXPECT_GT(fallback[0][0], both[0][0] + 5);
}

TEST_F(CtcKeywordSpotterTest, RankFourMelTakesItsLengthFromDimensionTwo) {
  testsupport::SystemLogCapture log;
  CtcStandIns options;
  options.rank4Mel = true;
  options.melLengthValue = 7;
  CtcKeywordSpotter spotter = spotterFor(options);
  spotter.debugMode = true;
  const auto audio = testsupport::ctcSpokenAudio(spoken(2, {1}, 10));
  expectSameMatrix(spotter.computeWithStagedModels(audio).logProbs,
                   spotterFor().computeWithStagedModels(audio).logProbs);
  const auto lines = log.messages("CtcKeywordSpotter");
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Mel features shape: [1, 1, 240, 1], mel_length: 240"), lines.end());
}

TEST_F(CtcKeywordSpotterTest, ModelOutputFaultsFailWithTheirMessages) {
  struct Case {
    std::string name;
    CtcStandIns options;
    std::string message;
  };
  std::vector<Case> cases(4);
  cases[0] = {"no mel features", {}, "Missing melspectrogram_features from CTC MelSpectrogram model"};
  cases[0].options.melFeaturesName = "features";
  cases[1] = {"zero mel length", {}, "Invalid mel_length for CTC encoder input"};
  cases[1].options.melLengthValue = 0;
  cases[2] = {"no head output", {},
              "Missing CTC head output from encoder model (expected ctc_head_raw_output or ctc_head_output)"};
  cases[2].options.rawOutput = false;
  cases[2].options.softmaxOutput = false;
  cases[3] = {"rank 2 head", {}, "Unexpected CTC output rank: [240, 41]"};
  cases[3].options.rank2Output = true;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CtcKeywordSpotter spotter = [&] {
      if (c.options.melFeaturesName == "melspectrogram_features") return spotterFor(c.options);
      // A mel model whose features go by another name, beside a good encoder.
      const fs::path folder = scratch_.path() / "renamed";
      testsupport::writeCtcFolder(folder);
      fs::remove_all(folder / "MelSpectrogram.mlmodelc");
      testsupport::ctcMelSpectrogram(c.options).writeBundle(folder);
      return CtcKeywordSpotter(CtcModels::loadDirect(folder, CtcModelVariant::ctc110m), kBlank);
    }();
    const std::vector<float> one(1000, 0.0f);
    const std::vector<float> chunked(500000, 0.0f);
    for (const auto* audio : {&one, &chunked}) {
      try {
        audio->size() > 240000 ? spotter.computeLogProbsChunked(*audio) : spotter.computeWithStagedModels(*audio);
        ADD_FAILURE() << "no error";
      } catch (const ASRError& error) {
        EXPECT_EQ(error.errorCase(), ASRError::Case::processingFailed);
        EXPECT_EQ(error.message(), c.message);
      }
    }
  }
}

TEST_F(CtcKeywordSpotterTest, StopRequestIsACancellation) {
  const CtcKeywordSpotter spotter = spotterFor();
  std::stop_source stop;
  stop.request_stop();
  const std::vector<float> audio(300000, 0.0f);
  EXPECT_THROW(spotter.computeLogProbsChunked(audio, stop.get_token()), platform::CancellationError);
}

TEST_F(CtcKeywordSpotterTest, LogSoftmaxTemperatureAndBlankBias) {
  const std::vector<float> logits = {1, 2, 3};
  const auto plain = CtcKeywordSpotter::logSoftmax(logits, 1.0f);
  const float logSum = std::log(std::exp(-2.0f) + std::exp(-1.0f) + 1.0f);
  EXPECT_NEAR(plain[0], -2 - logSum, 1e-6);
  EXPECT_NEAR(plain[2], -logSum, 1e-6);
  const auto warm = CtcKeywordSpotter::logSoftmax(logits, 2.0f);
  EXPECT_NEAR(warm[2] - warm[0], 1.0f, 1e-6);
  EXPECT_TRUE(CtcKeywordSpotter::logSoftmax({}, 1.0f).empty());

  const CtcLogProbMatrix raw = {{1, 2, 3}, {}, {0, 0, 0}};
  const auto normalised = CtcKeywordSpotter::applyLogSoftmax(raw, 2, 1.0f, 0.0f);
  ASSERT_EQ(normalised.size(), 3u);
  EXPECT_TRUE(normalised[1].empty());
  for (const auto& row : {normalised[0], normalised[2]}) {
    float sum = 0;
    for (float value : row) sum += std::exp(value);
    EXPECT_NEAR(sum, 1.0f, 1e-6);
  }
  const auto biased = CtcKeywordSpotter::applyLogSoftmax(raw, 2, 1.0f, 0.5f);
  EXPECT_NEAR(biased[0][2], normalised[0][2] - 0.5f, 1e-6);
  EXPECT_EQ(biased[0][1], normalised[0][1]);
  for (int blank : {3, 7, -1}) {
    SCOPED_TRACE(blank);
    EXPECT_EQ(CtcKeywordSpotter::applyLogSoftmax(raw, blank, 1.0f, 0.5f), normalised);
  }
}

TEST_F(CtcKeywordSpotterTest, DebugLinesOnlyInDebugMode) {
  testsupport::SystemLogCapture log;
  CtcKeywordSpotter spotter = spotterFor();
  const std::vector<float> audio(240001, 0.0f);
  spotter.computeLogProbsChunked(audio);
  EXPECT_TRUE(log.messages("CtcKeywordSpotter").empty());
  spotter.debugMode = true;
  spotter.computeLogProbsChunked(audio);
  const auto lines = log.messages("CtcKeywordSpotter");
  for (const char* line :
       {"=== Chunked CTC Processing ===", "Total samples: 240001 (15.00s)", "Chunk size: 240000, overlap: 32000, stride: 208000",
        "Number of chunks: 2", "  Chunk 2/2: samples [208000-240001] = [13.00-15.00s]",
        "    -> 33 frames, frameDuration=0.0606s", "Concatenated: 241 total frames", "Overlap frames averaged: 32 per boundary",
        "  Audio input: count=32001/240000, abs_max=0.0000, mean=0.000000", "  mid_5=[0.0000, 0.0000, 0.0000, 0.0000, 0.0000]",
        "[DEBUG]   samplesPerFrame=1000.00, validFrames=33, clampedFrames=33", "Log-probs: 33 frames (total: 240), vocab size: 41",
        "CTC outputs available: ctc_head_raw_output=true, ctc_head_output=true", "Using output: ctc_head_raw_output (raw logits)"}) {
    EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line;
  }
}

// A term spoken through the stand-ins: the tokenizer's ids held at their code levels are found
// where they were spoken, also where the frames straddle the seam of two windows.
TEST_F(CtcKeywordSpotterTest, SpokenTermIsFoundEndToEnd) {
  const fs::path folder = scratch_.path() / "e2e";
  testsupport::writeCtcFolder(folder);
  const CtcKeywordSpotter spotter(CtcModels::loadDirect(folder, CtcModelVariant::ctc110m), kBlank);
  const std::vector<std::int64_t> ids = CtcTokenizer::load(folder)->encode("tessel");
  ASSERT_FALSE(ids.empty());

  CustomVocabularyContext vocabulary;
  vocabulary.minTermLength = 3;
  vocabulary.terms.emplace_back("tessel", std::nullopt, std::nullopt, std::nullopt, ids);
  vocabulary.terms.emplace_back("absent", std::nullopt, std::nullopt, std::nullopt, std::vector<std::int64_t>{22, 23, 24});

  struct Case {
    std::string name;
    int at;
    int frames;
  };
  for (const Case& c : {Case{"one window", 40, 160}, Case{"across the seam", 204, 300}}) {
    SCOPED_TRACE(c.name);
    const auto audio = testsupport::ctcSpokenAudio(spoken(c.at, ids, c.frames));
    const auto result = spotter.spotKeywordsWithLogProbs(audio, vocabulary, std::nullopt);
    EXPECT_EQ(result.totalFrames, c.frames);
    ASSERT_EQ(result.detections.size(), 1u);
    const auto& found = result.detections[0];
    EXPECT_EQ(found.term.text, "tessel");
    EXPECT_EQ(found.startFrame, c.at);
    EXPECT_EQ(found.endFrame, c.at + 2 * static_cast<int>(ids.size()) - 1);
    EXPECT_GT(found.score, -1.0f);
    EXPECT_DOUBLE_EQ(found.startTime, c.at * 0.0625);
  }
}

}  // namespace
}  // namespace tesselaudio
