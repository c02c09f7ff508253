#include "speech/ASR/Parakeet/SlidingWindow/CustomVocabulary/WordSpotting/CtcDPAlgorithm.h"

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace tesselaudio {
namespace {

using CtcDPAlgorithm::Detection;

constexpr int kBlank = 3;
constexpr float kLow = -20.0f;

// Frames over a 4-wide vocabulary (blank 3): each frame gives its id log-probability 0 and every
// other index kLow.
CtcLogProbMatrix framesOf(const std::vector<int>& ids) {
  CtcLogProbMatrix matrix;
  for (int id : ids) {
    std::vector<float> row(4, kLow);
    row[static_cast<std::size_t>(id)] = 0;
    matrix.push_back(row);
  }
  return matrix;
}

TEST(CtcDPAlgorithmTest, KeywordNeedsAsManyFramesAsTokens) {
  const std::vector<std::int64_t> tokens = {0, 1, 2};
  EXPECT_TRUE(CtcDPAlgorithm::ctcWordSpotMultiple(framesOf({0, 1}), tokens, -1000, true, kBlank).empty());
  EXPECT_TRUE(CtcDPAlgorithm::ctcWordSpotMultiple({}, tokens, -1000, true, kBlank).empty());
  EXPECT_TRUE(CtcDPAlgorithm::ctcWordSpotMultiple(framesOf({0, 1}), {}, -1000, true, kBlank).empty());
  EXPECT_EQ(CtcDPAlgorithm::ctcWordSpotMultiple(framesOf({0, 1, 2}), tokens, -1, true, kBlank),
            (std::vector<Detection>{{0.0f, 0, 3}}));
}

TEST(CtcDPAlgorithmTest, RepeatedTokenNeedsABlankBetween) {
  const std::vector<std::int64_t> repeated = {1, 1};
  // Two frames of token 1 collapse into one emission: the keyword cannot complete.
  const auto twoFrames = CtcDPAlgorithm::terminalStates(framesOf({1, 1}), repeated, kBlank);
  EXPECT_LE(twoFrames.scores[2], CtcDPAlgorithm::kDead);
  const auto threeFrames = CtcDPAlgorithm::terminalStates(framesOf({1, kBlank, 1}), repeated, kBlank);
  EXPECT_FLOAT_EQ(threeFrames.scores[3], 0.0f);
  EXPECT_EQ(threeFrames.starts[3], 0);
  EXPECT_EQ(threeFrames.ends[3], 3);

  const std::vector<std::int64_t> wildcards = {-1, -1};
  EXPECT_LE(CtcDPAlgorithm::terminalStates(framesOf({0, 1}), wildcards, kBlank).scores[2], CtcDPAlgorithm::kDead);
  // A token after a wildcard may skip the blank; a different token may too.
  EXPECT_FLOAT_EQ(CtcDPAlgorithm::terminalStates(framesOf({2, 1}), std::vector<std::int64_t>{-1, 1}, kBlank).scores[2],
                  0.0f);
  EXPECT_FLOAT_EQ(CtcDPAlgorithm::terminalStates(framesOf({2, 1}), std::vector<std::int64_t>{2, 1}, kBlank).scores[2],
                  0.0f);
}

TEST(CtcDPAlgorithmTest, SingleWildcardSpansTheWholeMatrix) {
  const auto found = CtcDPAlgorithm::ctcWordSpotMultiple(framesOf({0, 1, 2, 0, 1}), std::vector<std::int64_t>{-1},
                                                         -1, true, kBlank);
  EXPECT_EQ(found, (std::vector<Detection>{{0.0f, 0, 5}}));
  EXPECT_EQ(CtcDPAlgorithm::nonWildcardCount(std::vector<std::int64_t>{-1, 4, -1, 0}), 2);
}

TEST(CtcDPAlgorithmTest, TokensInFramesTenToFourteenEndAtFifteen) {
  std::vector<int> ids(30, kBlank);
  for (int t = 10; t < 15; ++t) ids[static_cast<std::size_t>(t)] = t < 12 ? 0 : (t < 14 ? 1 : 2);
  const auto found = CtcDPAlgorithm::ctcWordSpotMultiple(framesOf(ids), std::vector<std::int64_t>{0, 1, 2}, -5,
                                                         true, kBlank);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].startFrame, 10);
  EXPECT_EQ(found[0].endFrame, 15);
  EXPECT_FLOAT_EQ(found[0].score, 0.0f);
}

TEST(CtcDPAlgorithmTest, ScoreIsThePathSumPerRealToken) {
  // Token 0 at half probability, then token 1 sure: ln 0.5 over two tokens.
  CtcLogProbMatrix matrix = framesOf({kBlank, 0, 1, kBlank});
  matrix[1][0] = std::log(0.5f);
  const auto found =
      CtcDPAlgorithm::ctcWordSpotMultiple(matrix, std::vector<std::int64_t>{0, 1}, -5, false, kBlank);
  ASSERT_FALSE(found.empty());
  EXPECT_NEAR(found[0].score, std::log(0.5f) / 2, 1e-6);
  EXPECT_EQ(found[0].startFrame, 1);
  EXPECT_EQ(found[0].endFrame, 3);
}

TEST(CtcDPAlgorithmTest, OutOfRangeIdsReadNothingOutsideARow) {
  const CtcLogProbMatrix matrix = framesOf({0, 1, 2});
  // A token beyond the row never matches; a blank beyond it costs nothing.
  EXPECT_TRUE(CtcDPAlgorithm::ctcWordSpotMultiple(matrix, std::vector<std::int64_t>{7}, -1000, true, kBlank).empty());
  EXPECT_TRUE(CtcDPAlgorithm::ctcWordSpotMultiple(matrix, std::vector<std::int64_t>{-5}, -1000, true, kBlank).empty());
  // Between the two tokens a frame of token 2: a blank within the row costs kLow there, one outside
  // the row costs nothing.
  const CtcLogProbMatrix gap = framesOf({0, 2, 1});
  const std::vector<std::int64_t> keyword = {0, 1};
  EXPECT_FLOAT_EQ(CtcDPAlgorithm::terminalStates(gap, keyword, kBlank).scores[3], kLow);
  for (int blank : {4, 99, -1}) {
    SCOPED_TRACE(blank);
    EXPECT_FLOAT_EQ(CtcDPAlgorithm::terminalStates(gap, keyword, blank).scores[3], 0.0f);
  }
}

TEST(CtcDPAlgorithmTest, NoTokensScoreZeroEverywhere) {
  const auto states = CtcDPAlgorithm::terminalStates(framesOf({0, 1}), {}, kBlank);
  EXPECT_EQ(states.scores, (std::vector<float>{0, 0, 0}));
  EXPECT_EQ(states.starts, (std::vector<int>{0, 0, 0}));
}

TEST(CtcDPAlgorithmTest, OnlyThePlateausLastFrameIsAMaximum) {
  // Every frame offers token 0 at -1: each end frame scores -1 alike.
  const CtcLogProbMatrix flat(4, std::vector<float>(4, -1.0f));
  EXPECT_EQ(CtcDPAlgorithm::ctcWordSpotMultiple(flat, std::vector<std::int64_t>{0}, -100, false, kBlank),
            (std::vector<Detection>{{-1.0f, 3, 4}}));
  EXPECT_TRUE(CtcDPAlgorithm::ctcWordSpotMultiple(flat, std::vector<std::int64_t>{0}, -0.5f, false, kBlank).empty());
}

TEST(CtcDPAlgorithmTest, OverlappingDetectionsMerge) {
  struct Case {
    std::string name;
    std::vector<Detection> found;
    std::vector<Detection> merged;
  };
  const std::vector<Case> cases = {
      {"later one stronger", {{-2.0f, 10, 20}, {-1.0f, 15, 30}}, {{-1.0f, 15, 30}}},
      {"earlier one stronger", {{-1.0f, 10, 20}, {-2.0f, 15, 30}}, {{-1.0f, 10, 30}}},
      {"tie keeps the earlier start", {{-1.0f, 10, 20}, {-1.0f, 15, 18}}, {{-1.0f, 10, 20}}},
      {"touching at the end frame", {{-3.0f, 0, 5}, {-2.0f, 5, 9}}, {{-2.0f, 5, 9}}},
      {"apart, sorted by start", {{-1.0f, 40, 45}, {-2.0f, 10, 20}}, {{-2.0f, 10, 20}, {-1.0f, 40, 45}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(CtcDPAlgorithm::mergeOverlapping(c.found), c.merged);
  }
}

}  // namespace
}  // namespace tesselaudio
