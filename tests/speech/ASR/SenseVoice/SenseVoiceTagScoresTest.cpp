#include "speech/ASR/SenseVoice/SenseVoiceTagScores.h"

#include <cmath>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/SenseVoiceModelBuilder.h"

namespace tesselaudio {
namespace {

using Candidate = SenseVoiceTagScoring::Candidates::Candidate;
using SenseVoiceTagScoring::Candidates;

std::map<int, std::string> vocabularyOf(const std::vector<std::string>& pieces) {
  std::map<int, std::string> vocabulary;
  for (std::size_t id = 0; id < pieces.size(); ++id) vocabulary[static_cast<int>(id)] = pieces[id];
  return vocabulary;
}

std::vector<std::string> tagsOf(const std::vector<SenseVoiceTagScore>& scores) {
  std::vector<std::string> tags;
  for (const auto& score : scores) tags.push_back(score.tag);
  return tags;
}

TEST(SenseVoiceTagScoresTest, CandidatesOfTheStandInVocabulary) {
  const Candidates candidates(vocabularyOf(testsupport::senseVoicePieces()));
  // "<|withitn|>" is lower case but names text normalisation; "<||>" has no name; "<|x|>" counts.
  EXPECT_EQ(candidates.language,
            (std::vector<Candidate>{{1, "zh"}, {2, "en"}, {3, "ja"}, {4, "yue"}, {11, "x"}}));
  // List order, not id order: "<|SAD|>" has the lower id.
  EXPECT_EQ(candidates.emotion, (std::vector<Candidate>{{7, "HAPPY"}, {6, "SAD"}}));
  EXPECT_EQ(candidates.event, (std::vector<Candidate>{{8, "Speech"}, {9, "BGM"}}));
}

TEST(SenseVoiceTagScoresTest, VocabularyWithoutTagsGivesNoCandidatesAndNoScores) {
  const Candidates candidates(vocabularyOf({"<unk>", "<|", "|>", "<||>", "<|>", "▁hello", "|x|", "<x|>"}));
  EXPECT_EQ(candidates, Candidates());
  const std::vector<float> row(8, 1.0f);
  EXPECT_TRUE(SenseVoiceTagScoring::score(row, candidates.language).empty());
  EXPECT_TRUE(SenseVoiceTagScoring::score(row, candidates.emotion).empty());
  EXPECT_TRUE(SenseVoiceTagScoring::score(row, candidates.event).empty());
}

TEST(SenseVoiceTagScoresTest, TagNamedTwiceKeepsTheHigherId) {
  const Candidates candidates(vocabularyOf({"<|en|>", "<|SAD|>", "<|en|>"}));
  EXPECT_EQ(candidates.language, (std::vector<Candidate>{{2, "en"}}));
  EXPECT_EQ(candidates.emotion, (std::vector<Candidate>{{1, "SAD"}}));
}

TEST(SenseVoiceTagScoresTest, ScoresAreASoftmaxOverTheCandidates) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float infinity = std::numeric_limits<float>::infinity();
  struct Case {
    const char* name;
    std::vector<float> row;
    std::vector<Candidate> candidates;
    std::vector<SenseVoiceTagScore> expected;
  };
  const Case cases[] = {
      {"TwoAndZero", {0.0f, 2.0f}, {{0, "b"}, {1, "a"}}, {{"a", 0.880797f}, {"b", 0.119203f}}},
      {"IdBeyondTheRowLeftOut", {1.0f, 1.0f}, {{0, "a"}, {5, "far"}, {-1, "negative"}, {1, "b"}},
       {{"a", 0.5f}, {"b", 0.5f}}},
      {"NonFiniteDropped", {nan, infinity, -infinity, 3.0f}, {{0, "nan"}, {1, "inf"}, {2, "-inf"}, {3, "left"}},
       {{"left", 1.0f}}},
      {"EqualValuesKeepCandidateOrder", {0.5f, 0.5f, 0.5f}, {{2, "c"}, {0, "a"}, {1, "b"}},
       {{"c", 1.0f / 3}, {"a", 1.0f / 3}, {"b", 1.0f / 3}}},
      {"LargeValuesDoNotOverflow", {1000.0f, 999.0f}, {{1, "lower"}, {0, "higher"}},
       {{"higher", 0.731059f}, {"lower", 0.268941f}}},
      {"NothingLeft", {nan}, {{0, "nan"}, {1, "beyond"}}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto scores = SenseVoiceTagScoring::score(c.row, c.candidates);
    ASSERT_EQ(tagsOf(scores), tagsOf(c.expected));
    float sum = 0.0f;
    for (std::size_t i = 0; i < scores.size(); ++i) {
      EXPECT_NEAR(scores[i].probability, c.expected[i].probability, 1e-5f);
      sum += scores[i].probability;
    }
    if (!scores.empty()) {
      EXPECT_NEAR(sum, 1.0f, 1e-6f);
    }
  }
}

}  // namespace
}  // namespace tesselaudio
