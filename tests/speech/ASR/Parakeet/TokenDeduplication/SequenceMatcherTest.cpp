#include "speech/ASR/Parakeet/TokenDeduplication/SequenceMatcher.h"

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace tesselaudio {
namespace {

std::vector<char> letters(const std::string& text) { return {text.begin(), text.end()}; }

const auto equal = [](char a, char b) { return a == b; };

TEST(SequenceMatcherTest, SuffixPrefixMatch) {
  const struct {
    const char* name;
    const char* previous;
    const char* current;
    int64_t maxOverlap;
    std::optional<SequenceMatch> expected;
  } cases[] = {
      {"twoShared", "abcd", "cde", 12, SequenceMatch{2, 0, 2}},
      {"longestWins", "abab", "abab", 12, SequenceMatch{0, 0, 4}},
      {"cappedByMaxOverlap", "abab", "abab", 3, SequenceMatch{2, 0, 2}},
      {"oneElementOverlap", "ab", "bc", 12, std::nullopt},
      {"maxOverlapOne", "abcd", "cde", 1, std::nullopt},
      {"oneElementPrevious", "c", "cde", 12, std::nullopt},
      {"oneElementCurrent", "abc", "c", 12, std::nullopt},
      {"emptyCurrent", "abc", "", 12, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(SequenceMatcher::findSuffixPrefixMatch(letters(c.previous), letters(c.current), c.maxOverlap, equal),
              c.expected);
  }
}

TEST(SequenceMatcherTest, BoundedSubstringMatch) {
  const struct {
    const char* name;
    const char* previous;
    const char* current;
    int64_t maxSearchLength;
    int64_t boundarySearchFrames;
    std::optional<SequenceMatch> expected;
  } cases[] = {
      {"runNearStart", "xabc", "yabz", 4, 20, SequenceMatch{1, 1, 2}},
      {"runStartsAtBoundary", "xabc", "yabz", 4, 1, std::nullopt},
      {"onlyRecentPrevious", "abcd", "cd", 2, 20, SequenceMatch{2, 0, 2}},
      {"olderPreviousNotSearched", "abxy", "ab", 2, 20, std::nullopt},
      {"longerRunWins", "abcab", "zabcz", 5, 20, SequenceMatch{0, 1, 3}},
      {"earlierPreviousWins", "abab", "zab", 4, 20, SequenceMatch{0, 1, 2}},
      {"oneElementSide", "a", "a", 4, 20, std::nullopt},
      {"maxSearchLengthBelowTwo", "abcd", "cd", 1, 20, std::nullopt},
      {"negativeBoundary", "abcd", "cd", 4, -1, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(SequenceMatcher::findBoundedSubstringMatch(letters(c.previous), letters(c.current), c.maxSearchLength,
                                                         c.boundarySearchFrames, equal),
              c.expected);
  }
}

TEST(SequenceMatcherTest, LongestCommonSubsequence) {
  const struct {
    const char* name;
    const char* left;
    const char* right;
    std::vector<SequenceMatch> expected;
  } cases[] = {
      {"skipsMiddle", "abc", "ac", {{0, 0, 1}, {2, 1, 1}}},
      {"tieDropsRightFirst", "ab", "ba", {{1, 0, 1}}},
      {"pairsNotMerged", "abc", "abc", {{0, 0, 1}, {1, 1, 1}, {2, 2, 1}}},
      {"nothingShared", "ab", "cd", {}},
      {"emptyLeft", "", "ab", {}},
      {"emptyRight", "ab", "", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(SequenceMatcher::findLongestCommonSubsequence(letters(c.left), letters(c.right), equal), c.expected);
  }
}

TEST(SequenceMatcherTest, PredicateTakesPreviousElementFirst) {
  // Tokens match when the current one is at most 2 frames later than the previous one.
  const std::vector<int> previous = {10, 20, 30};
  const std::vector<int> current = {21, 32, 40};
  const auto withinTwoAfter = [](int p, int c) { return c >= p && c - p <= 2; };
  EXPECT_EQ(SequenceMatcher::findSuffixPrefixMatch(previous, current, 12, withinTwoAfter), (SequenceMatch{1, 0, 2}));
  EXPECT_EQ(SequenceMatcher::findSuffixPrefixMatch(current, previous, 12, withinTwoAfter), std::nullopt);
}

}  // namespace
}  // namespace tesselaudio
