#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "speech/ASR/Parakeet/AsrManager.h"

namespace tesselaudio {
namespace {

using Pieces = std::vector<std::string>;
using Frames = std::vector<int64_t>;

TEST(AsrManagerSeamWordsTest, TrailingWordStartIndex) {
  const struct {
    const char* name;
    Pieces pieces;
    std::optional<int64_t> expected;
  } cases[] = {
      {"lastWord", {"▁the", "▁cat"}, 1},
      {"onlyFirst", {"▁hello"}, std::nullopt},
      {"continuedWord", {"lo", "▁wor", "ld"}, 1},
      {"punctuationBoundary", {"▁hi", "▁,"}, 1},
      {"spaceBoundary", {"▁hi", " there"}, 1},
      {"noBoundary", {"lo", "ng"}, std::nullopt},
      {"empty", {}, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(AsrManager::trailingWordStartIndex(c.pieces), c.expected);
  }
}

TEST(AsrManagerSeamWordsTest, IsPunctuationPiece) {
  const std::map<std::string, bool> cases = {
      {"▁,", true},  {"▁", false}, {"▁a,", false},      {"--", true},  {"", false},
      {"▁ ", false}, {"「", true},  {"\t.\t", true}, {"a", false}, {"\xFF", false},
  };
  for (const auto& [piece, expected] : cases) {
    SCOPED_TRACE(piece);
    EXPECT_EQ(AsrManager::isPunctuationPiece(piece), expected);
  }
}

TEST(AsrManagerSeamWordsTest, StartsWordPiece) {
  const struct {
    const char* name;
    Pieces pieces;
    bool expected;
  } cases[] = {
      {"joinerBeforeWord", {"▁-", "based"}, true},
      {"joinerBeforeBoundary", {"▁-", "▁based"}, false},
      {"joinerAtEnd", {"▁-"}, false},
      {"comma", {"▁,", "x"}, false},
      {"continuation", {"ing"}, false},
      {"word", {"▁go"}, true},
      {"emptyPiece", {""}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(AsrManager::startsWordPiece(c.pieces, 0), c.expected);
  }
}

TEST(AsrManagerSeamWordsTest, WordExtent) {
  const struct {
    const char* name;
    Pieces pieces;
    int64_t expected;
  } cases[] = {
      {"innerApostrophe", {"▁don", "'", "t", "▁go"}, 3},
      {"fullStopEnds", {"▁end", ".", "▁next"}, 1},
      {"unknownIdsBelong", {"▁a", "", "b", "▁c"}, 3},
      {"joinerBeforeBoundaryEnds", {"▁well", "-", "▁known"}, 1},
      {"toTheEnd", {"▁walk", "ing"}, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(AsrManager::wordExtent(c.pieces, 0), c.expected);
  }
}

TEST(AsrManagerSeamWordsTest, WordCore) {
  const struct {
    const char* name;
    Pieces pieces;
    const char* expected;
  } cases[] = {
      {"curlyApostrophe", {"▁Don", "’", "t"}, "don't"},
      {"trailingComma", {"▁Hello", ","}, "hello"},
      {"onlyPunctuation", {"▁."}, ""},
      {"empty", {}, ""},
      {"fullCaseMapping", {"▁STRASSE"}, "strasse"},
      {"innerHyphenKept", {"▁well", "-", "known", "!"}, "well-known"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(AsrManager::wordCore(c.pieces), c.expected);
  }
}

TEST(AsrManagerSeamWordsTest, Words) {
  using W = AsrManager::PieceWord;
  EXPECT_EQ(AsrManager::words({"▁the", "▁cat", "s", "."}, {10, 12, 14, 15}, 3),
            (std::vector<W>{{"the", 10}, {"cats", 12}}));
  // The start test looks past the limit: "▁-" starts a word because "based" follows it.
  EXPECT_EQ(AsrManager::words({"▁x", "▁-", "based"}, {1, 2, 3}, 2), (std::vector<W>{{"x", 1}, {"", 2}}));
  EXPECT_EQ(AsrManager::words({"▁the", "▁cat"}, {10}, 5), (std::vector<W>{{"the", 10}}));
  EXPECT_TRUE(AsrManager::words({"▁the"}, {10}, 0).empty());
}

TEST(AsrManagerSeamWordsTest, FirstWordPieces) {
  EXPECT_EQ(AsrManager::firstWordPieces(Pieces{"ing", ",", "▁walk", "ed", "▁home"}), (Pieces{"▁walk", "ed"}));
  EXPECT_EQ(AsrManager::firstWordPieces(Pieces{"ing", "▁,"}), Pieces{});
  EXPECT_EQ(AsrManager::firstWordPieces(Pieces{}), Pieces{});
}

// Token ids stand for pieces: the same piece, the same id.
std::vector<int64_t> idsOf(const Pieces& pieces) {
  static std::map<std::string, int64_t> ids;
  std::vector<int64_t> out;
  for (const auto& piece : pieces) out.push_back(ids.try_emplace(piece, static_cast<int64_t>(ids.size()) + 1).first->second);
  return out;
}

TEST(AsrManagerSeamWordsTest, ReconcileFinalWindowSeam) {
  const struct {
    const char* name;
    Pieces previous;
    Frames previousFrames;
    int64_t trailingWordStart;
    Pieces current;
    Frames currentFrames;
    Pieces suppressed;
    Frames suppressedFrames;
    AsrManager::SeamReconciliation expected;
  } cases[] = {
      {"longerWordRedecoded", {"▁we", "▁walk"}, {90, 100}, 1, {"▁walking", "▁home"}, {100, 110}, {}, {}, {1, 0}},
      {"sameWordRepeated", {"▁we", "▁walk"}, {90, 100}, 1, {"▁walk", "▁home"}, {101, 110}, {}, {}, {0, 1}},
      {"repeatedWithFullStop", {"▁we", "▁walk", "."}, {90, 100, 104}, 1, {"▁walk", ".", "▁home"}, {101, 104, 110}, {}, {},
       {0, 2}},
      {"acceptedWordRepeated", {"▁see", "▁you", "▁to"}, {80, 90, 100}, 2, {"▁you", "▁tomorrow"}, {91, 101}, {}, {},
       {0, 1}},
      {"repeatPastJitter", {"▁we", "▁walk"}, {90, 100}, 1, {"▁walk", "▁home"}, {108, 112}, {}, {}, {0, 1}},
      // The word was heard before the seam, so the one at 108 is said again, not a repeat.
      {"repeatHeardBeforeSeam", {"▁we", "▁walk"}, {90, 100}, 1, {"▁walk", "▁home"}, {108, 112}, {"▁walk"}, {100}, {0, 0}},
      {"trailingWordStartZero", {"▁we", "▁walk"}, {90, 100}, 0, {"▁walk", "▁home"}, {101, 110}, {}, {}, {0, 0}},
      {"trailingWordStartAtEnd", {"▁we", "▁walk"}, {90, 100}, 2, {"▁walk", "▁home"}, {101, 110}, {}, {}, {0, 0}},
      {"emptyCurrent", {"▁we", "▁walk"}, {90, 100}, 1, {}, {}, {}, {}, {0, 0}},
      {"previousFramesShort", {"▁we", "▁walk"}, {90}, 1, {"▁walk", "▁home"}, {101, 110}, {}, {}, {0, 0}},
      {"currentFramesShort", {"▁we", "▁walk"}, {90, 100}, 1, {"▁walk", "▁home"}, {101}, {}, {}, {0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(AsrManager::reconcileFinalWindowSeam(idsOf(c.previous), c.previousFrames, c.trailingWordStart,
                                                   idsOf(c.current), c.currentFrames, c.current, c.previous,
                                                   c.suppressed, c.suppressedFrames, 5, 10),
              c.expected);
  }
}

TEST(AsrManagerSeamWordsTest, PiecesOfOtherLengthsAreNoFault) {
  // Current pieces one short of the tokens.
  EXPECT_EQ(AsrManager::reconcileFinalWindowSeam(idsOf({"▁we", "▁walk"}), {90, 100}, 1, idsOf({"▁walk", "▁home"}),
                                                 {101, 110}, {"▁walk"}, {"▁we", "▁walk"}, {}, {}, 5, 10),
            (AsrManager::SeamReconciliation{0, 0}));
  // Suppressed lists of unequal length give no evidence.
  EXPECT_EQ(AsrManager::reconcileFinalWindowSeam(idsOf({"▁we", "▁walk"}), {90, 100}, 1, idsOf({"▁walk", "▁home"}),
                                                 {108, 112}, {"▁walk", "▁home"}, {"▁we", "▁walk"}, {"▁walk"}, {}, 5, 10),
            (AsrManager::SeamReconciliation{0, 1}));
}

}  // namespace
}  // namespace tesselaudio
