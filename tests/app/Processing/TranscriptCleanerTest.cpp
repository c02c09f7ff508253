#include "app/Processing/TranscriptCleaner.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace veltovoice {
namespace {

using ::testing::ElementsAreArray;

std::string repeated(const std::string& character, int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += character;
  return text;
}

TEST(TranscriptCleanerTest, MemoTermsAreThePartsBetweenSeparators) {
  struct Case {
    const char* name;
    std::string memo;
    std::vector<std::string> terms;
  };
  const Case cases[] = {
      {"participants and terms", "参加者：田中、佐藤さん\n用語：VeltoVoice／議事録（草案）",
       {"田中", "佐藤さん", "VeltoVoice", "議事録", "草案"}},
      {"only the heading words", "参加者・用語：、さん", {}},
      {"every separator", "aa、bb,cc，dd・ee/ff／gg\nhh：ii:jj（kk）ll(mm)nn「oo」pp qq\u3000rr",
       {"aa", "bb", "cc", "dd", "ee", "ff", "gg", "hh", "ii", "jj", "kk", "ll", "mm", "nn", "oo", "pp", "qq", "rr"}},
      {"tabs are trimmed, not separators", "\t田中 太郎\t、\tAB\tC", {"田中", "太郎", "AB\tC"}},
      {"one character parts are dropped", "田　中、A、株式会社", {"株式会社"}},
      {"repeats stay", "田中、田中", {"田中", "田中"}},
      {"a decomposed kana is one character", "ka\u3099、\u304b\u3099\u304d", {"ka\u3099", "\u304b\u3099\u304d"}},
      {"empty", "", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_THAT(TranscriptCleaner::memoTerms(c.memo), ElementsAreArray(c.terms));
  }
}

TEST(TranscriptCleanerTest, DistanceCountsUserPerceivedCharacters) {
  struct Case {
    const char* name;
    std::string a;
    std::string b;
    int distance;
  };
  const Case cases[] = {
      {"both empty", "", "", 0},
      {"empty against three", "", "あいう", 3},
      {"kitten", "kitten", "sitting", 3},
      {"one deleted", "会議室", "会議", 1},
      {"one substituted", "会議室です", "会議質です", 1},
      {"family emoji is one character", "👨‍👩‍👧です", "👨です", 1},
      {"decomposed が against か", "\u304b\u3099", "\u304b", 1},
      {"same cluster in both", "a👨‍👩‍👧b", "c👨‍👩‍👧d", 2},
      {"flag against flag", "🇯🇵", "🇺🇸", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(TranscriptCleaner::distance(c.a, c.b), c.distance);
    EXPECT_EQ(TranscriptCleaner::distance(c.b, c.a), c.distance);
  }
}

TEST(TranscriptCleanerTest, JudgeAllowsHalfOrThreeQuartersWithANewMemoTerm) {
  const std::string original = "あいうえおかきくけこ";  // ten characters
  const std::vector<std::string> terms = {"山田", "田中"};
  // The first `count` characters of the original replaced, so that the distance is `count`.
  auto replaced = [&](const std::string& by, int count) {
    return by + repeated("ん", count - 2) + original.substr(static_cast<std::size_t>(count) * 3);
  };
  struct Case {
    const char* name;
    std::string original;
    std::string corrected;
    TranscriptCleaner::Verdict verdict;
  };
  using V = TranscriptCleaner::Verdict;
  const Case cases[] = {
      {"same text", original, original, V::unchanged},
      {"5 of 10", original, replaced("んん", 5), V::accepted},
      {"6 of 10", original, replaced("んん", 6), V::refused},
      {"6 of 10 bringing a term in", original, replaced("田中", 6), V::accepted},
      {"7 of 10 bringing a term in", original, replaced("田中", 7), V::accepted},
      {"8 of 10 bringing a term in", original, replaced("田中", 8), V::refused},
      {"6 of 10 with a term already there", "田中あいうえおかきく", "田中んんんんんんきく", V::refused},
      {"one character swapped", "あ", "い", V::refused},
      {"from nothing to one character", "", "あ", V::refused},
      {"one character deleted from two", "あい", "あ", V::accepted},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(TranscriptCleaner::judge(c.original, c.corrected, terms), c.verdict);
  }
}

}  // namespace
}  // namespace veltovoice
