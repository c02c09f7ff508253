#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "speech/ASR/Parakeet/SlidingWindow/CustomVocabulary/CustomVocabularyContext.h"
#include "speech/ASR/Parakeet/SlidingWindow/CustomVocabulary/CustomVocabularyTerm.h"
#include "speech/ASR/Parakeet/SlidingWindow/CustomVocabulary/WordSpotting/CtcKeywordSpotter.h"
#include "speech/Shared/AppLogger.h"
#include "tests/support/SystemLogCapture.h"

namespace tesselaudio {
namespace {

constexpr int kWidth = 8;
constexpr int kBlank = 7;
constexpr float kLow = -30.0f;
constexpr double kFrame = 0.08;

// A matrix of `frames` blank frames, with the spoken tokens written in from their frames on.
struct Speech {
  CtcLogProbMatrix rows;

  explicit Speech(int frames) : rows(static_cast<std::size_t>(frames), std::vector<float>(kWidth, kLow)) {
    for (auto& row : rows) row[kBlank] = 0;
  }

  // One frame per token from `at`, each token at log-probability `score`.
  Speech& say(int at, const std::vector<std::int64_t>& tokens, float score = 0) {
    for (std::size_t i = 0; i < tokens.size(); ++i) {
      auto& row = rows[static_cast<std::size_t>(at) + i];
      row[kBlank] = kLow;
      row[static_cast<std::size_t>(tokens[i])] = score;
    }
    return *this;
  }
};

CustomVocabularyTerm term(const std::string& text, std::vector<std::int64_t> ctcIds) {
  return CustomVocabularyTerm(text, std::nullopt, std::nullopt, std::nullopt, std::move(ctcIds));
}

CustomVocabularyContext vocabularyOf(std::vector<CustomVocabularyTerm> terms, std::int64_t minTermLength = 3) {
  CustomVocabularyContext vocabulary;
  vocabulary.terms = std::move(terms);
  vocabulary.minTermLength = minTermLength;
  return vocabulary;
}

class CtcKeywordSpotterSpottingTest : public testing::Test {
 protected:
  CtcKeywordSpotter spotter_{CtcModels{}, kBlank};
};

TEST_F(CtcKeywordSpotterSpottingTest, ThresholdRelaxesPerTokenBeyondTheThird) {
  struct Case {
    std::string name;
    std::vector<std::int64_t> tokens;
    float score;
    std::optional<float> minScore;
    bool found;
  };
  const std::vector<Case> cases = {
      {"seven tokens at -8 pass -6 relaxed to -10", {0, 1, 2, 3, 4, 5, 6}, -8, -6.0f, true},
      {"seven tokens at -10.5 miss -10", {0, 1, 2, 3, 4, 5, 6}, -10.5f, -6.0f, false},
      {"three tokens at -8 miss -6", {0, 1, 2}, -8, -6.0f, false},
      {"four tokens at -6.5 pass -7", {0, 1, 2, 3}, -6.5f, -6.0f, true},
      {"no minimum: -14 passes -15", {0, 1, 2, 3, 4, 5, 6}, -14, std::nullopt, true},
      {"no minimum: -16 misses -15", {0, 1, 2, 3, 4, 5, 6}, -16, std::nullopt, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const CtcLogProbMatrix matrix = Speech(20).say(5, c.tokens, c.score).rows;
    const auto result = spotter_.spotKeywordsFromLogProbs(matrix, kFrame, vocabularyOf({term("abcdefg", c.tokens)}),
                                                          c.minScore);
    ASSERT_EQ(result.detections.size(), c.found ? 1u : 0u);
    if (c.found) {
      EXPECT_NEAR(result.detections[0].score, c.score, 1e-4);
    }
  }
}

TEST_F(CtcKeywordSpotterSpottingTest, DetectionCarriesFramesTimesAndTheMatrix) {
  const CtcLogProbMatrix matrix = Speech(30).say(10, {0, 0, 1, 1, 2}).rows;
  const auto result =
      spotter_.spotKeywordsFromLogProbs(matrix, kFrame, vocabularyOf({term("abc", {0, 1, 2})}), std::nullopt);
  ASSERT_EQ(result.detections.size(), 1u);
  const auto& found = result.detections[0];
  EXPECT_EQ(found.term.text, "abc");
  EXPECT_EQ(found.startFrame, 10);
  EXPECT_EQ(found.endFrame, 15);
  EXPECT_EQ(found.totalFrames, 30);
  EXPECT_DOUBLE_EQ(found.startTime, 10 * kFrame);
  EXPECT_DOUBLE_EQ(found.endTime, 15 * kFrame);
  EXPECT_EQ(result.logProbs, matrix);
  EXPECT_EQ(result.totalFrames, 30);
  EXPECT_DOUBLE_EQ(result.frameDuration, kFrame);
}

TEST_F(CtcKeywordSpotterSpottingTest, ResultsGoByTermThenByStart) {
  const CtcLogProbMatrix matrix = Speech(40).say(25, {0, 1}).say(12, {2, 3}).say(3, {0, 1}).rows;
  const auto result = spotter_.spotKeywordsFromLogProbs(
      matrix, kFrame, vocabularyOf({term("first", {0, 1}), term("second", {2, 3})}), std::nullopt);
  std::vector<std::pair<std::string, int>> found;
  for (const auto& detection : result.detections) found.emplace_back(detection.term.text, detection.startFrame);
  EXPECT_EQ(found, (std::vector<std::pair<std::string, int>>{{"first", 3}, {"first", 25}, {"second", 12}}));
}

TEST_F(CtcKeywordSpotterSpottingTest, TermsWithoutUsableIdsOrTooShortAreSkipped) {
  const CtcLogProbMatrix matrix = Speech(20).say(4, {0, 1, 2}).say(12, {3, 4}).rows;
  CustomVocabularyTerm viaTokenIds("viaTokenIds", std::nullopt, std::nullopt, std::vector<std::int64_t>{3, 4});
  CustomVocabularyTerm preferCtc("preferCtc", std::nullopt, std::nullopt, std::vector<std::int64_t>{5, 6},
                                 std::vector<std::int64_t>{0, 1, 2});
  CustomVocabularyTerm none("none");
  CustomVocabularyTerm empty("empty", std::nullopt, std::nullopt, std::nullopt, std::vector<std::int64_t>{});
  const auto result = spotter_.spotKeywordsFromLogProbs(
      matrix, kFrame, vocabularyOf({term("abc", {0, 1, 2}), term("ab", {0, 1, 2}), viaTokenIds, preferCtc, none, empty},
                                   3),
      std::nullopt);
  std::vector<std::string> texts;
  for (const auto& detection : result.detections) texts.push_back(detection.term.text);
  EXPECT_EQ(texts, (std::vector<std::string>{"abc", "viaTokenIds", "preferCtc"}));
}

TEST_F(CtcKeywordSpotterSpottingTest, ShortTermSkipIsLoggedOnlyInDebugMode) {
  testsupport::SystemLogCapture log;
  const CtcLogProbMatrix matrix = Speech(10).say(2, {0, 1}).rows;
  const CustomVocabularyContext vocabulary = vocabularyOf({term("ab", {0, 1})}, 3);
  spotter_.spotKeywordsFromLogProbs(matrix, kFrame, vocabulary, std::nullopt);
  EXPECT_TRUE(log.messages("CtcKeywordSpotter").empty());
  spotter_.debugMode = true;
  EXPECT_TRUE(spotter_.spotKeywordsFromLogProbs(matrix, kFrame, vocabulary, std::nullopt).detections.empty());
  EXPECT_EQ(log.messages("CtcKeywordSpotter"), (std::vector<std::string>{"  Skipping 'ab': too short (2 < 3 chars)"}));
}

TEST_F(CtcKeywordSpotterSpottingTest, EmptyMatrixAndEmptyVocabulary) {
  const auto empty = spotter_.spotKeywordsFromLogProbs({}, kFrame, vocabularyOf({term("abc", {0})}), std::nullopt);
  EXPECT_TRUE(empty.detections.empty());
  EXPECT_TRUE(empty.logProbs.empty());
  EXPECT_EQ(empty.frameDuration, 0);
  EXPECT_EQ(empty.totalFrames, 0);
  const auto noSamples = spotter_.spotKeywordsWithLogProbs({}, vocabularyOf({term("abc", {0})}), std::nullopt);
  EXPECT_EQ(noSamples.totalFrames, 0);
  EXPECT_EQ(noSamples.frameDuration, 0);

  const CtcLogProbMatrix matrix = Speech(5).rows;
  const auto noTerms = spotter_.spotKeywordsFromLogProbs(matrix, kFrame, vocabularyOf({}), std::nullopt);
  EXPECT_TRUE(noTerms.detections.empty());
  EXPECT_EQ(noTerms.logProbs, matrix);
  EXPECT_EQ(noTerms.totalFrames, 5);
}

}  // namespace
}  // namespace tesselaudio
