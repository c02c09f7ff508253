#include "speech/Shared/TokenLanguageFilter.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "speech/Shared/Language.h"

namespace tesselaudio {
namespace {

using TokenLanguageFilter::Choice;
using TokenLanguageFilter::filterTopK;

constexpr float kInf = std::numeric_limits<float>::infinity();

// Whether a lone candidate with this text is eligible under `script`.
bool eligible(const std::string& text, Script script) {
  return filterTopK({1}, {0.0f}, {{1, text}}, script).has_value();
}

TEST(TokenLanguageFilterTest, PicksTheBestCandidateOfThePreferredScript) {
  const std::map<int, std::string> vocabulary = {{10, "\u2581hello"}, {20, "\u2581\u043F\u0440\u0438\u0432\u0435\u0442"}};
  const auto cyrillic = filterTopK({10, 20}, {5.0f, 6.0f}, vocabulary, Script::cyrillic);
  ASSERT_TRUE(cyrillic);
  EXPECT_EQ(cyrillic->tokenId, 20);
  EXPECT_NEAR(cyrillic->probability, 1.0 / (1.0 + std::exp(-1.0)), 1e-6);

  const auto latin = filterTopK({10, 20}, {5.0f, 6.0f}, vocabulary, Script::latin);
  ASSERT_TRUE(latin);
  EXPECT_EQ(latin->tokenId, 10);
  EXPECT_NEAR(latin->probability, std::exp(-1.0) / (std::exp(-1.0) + 1.0), 1e-6);
  EXPECT_NEAR(latin->probability, 0.269, 1e-3);

  EXPECT_FALSE(filterTopK({10}, {1.0f}, vocabulary, Script::greek));
}

TEST(TokenLanguageFilterTest, CandidateRules) {
  const std::map<int, std::string> vocabulary = {
      {1, "\u2581"}, {2, "ab"}, {3, "cd"}, {4, "\u4F60"}, {5, "ef"}};
  struct Case {
    const char* name;
    std::vector<int> ids;
    std::vector<float> logits;
    std::optional<int> chosen;
  };
  const Case cases[] = {
      {"bare mark is eligible", {4, 1}, {9.0f, 1.0f}, 1},
      {"equal logits keep the first", {2, 3}, {2.0f, 2.0f}, 2},
      {"id without text is skipped", {99, 3}, {9.0f, 1.0f}, 3},
      {"only the first min(len) candidates", {4, 4, 2, 3}, {1.0f, 1.0f}, std::nullopt},
      {"more logits than ids", {2}, {1.0f, 50.0f}, 2},
      {"nothing to scan", {}, {1.0f}, std::nullopt},
      {"no eligible candidate", {4, 99}, {1.0f, 2.0f}, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto choice = filterTopK(c.ids, c.logits, vocabulary, Script::latin);
    EXPECT_EQ(choice ? std::optional<int>(choice->tokenId) : std::nullopt, c.chosen);
  }

  // Ten ids, eight logits: the softmax runs over the eight.
  const std::vector<int> ten = {2, 4, 4, 4, 4, 4, 4, 4, 5, 5};
  const std::vector<float> eight(8, 0.0f);
  const auto choice = filterTopK(ten, eight, vocabulary, Script::latin);
  ASSERT_TRUE(choice);
  EXPECT_EQ(choice->tokenId, 2);
  EXPECT_NEAR(choice->probability, 1.0 / 8, 1e-6);
}

TEST(TokenLanguageFilterTest, ProbabilityWithNonFiniteLogits) {
  const std::map<int, std::string> vocabulary = {{1, "a"}, {2, "b"}, {3, "c"}};
  struct Case {
    const char* name;
    std::vector<float> logits;
    int chosen;
    float probability;
  };
  const float nan = std::nanf("");
  const Case cases[] = {
      {"all minus infinity", {-kInf, -kInf, -kInf}, 1, 0.0f},
      {"plus infinity", {1.0f, kInf, 0.0f}, 2, 0.0f},
      {"not a number among numbers", {3.0f, nan, 1.0f}, 1, 0.0f},
      {"minus infinity beside numbers", {0.0f, -kInf, 0.0f}, 1, 0.5f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto choice = filterTopK({1, 2, 3}, c.logits, vocabulary, Script::latin);
    ASSERT_TRUE(choice);
    EXPECT_EQ(choice->tokenId, c.chosen);
    EXPECT_FLOAT_EQ(choice->probability, c.probability);
  }
}

TEST(TokenLanguageFilterTest, ScriptSets) {
  struct Case {
    const char* name;
    std::string text;
    bool latin, cyrillic, greek;
  };
  const Case cases[] = {
      {"precomposed e acute", "caf\u00E9", true, false, false},
      {"combining acute", "cafe\u0301", true, false, false},
      {"i diaeresis", "na\u00EFve", true, false, false},
      {"fi ligature", "\uFB01", false, false, false},
      {"digits and punctuation", "12,3.!?-", true, true, true},
      {"ASCII letters", "abc", true, false, false},
      {"Cyrillic word", "\u043C\u0438\u0440", false, true, false},
      {"Greek word", "\u03BA\u03B1\u03BB\u03B7", false, false, true},
      {"Greek extended", "\u1F00", false, false, true},
      {"Latin extended additional", "\u1EA1", true, false, false},
      {"control character", "a\u0007", false, false, false},
      {"C1 control", "a\u0085", false, false, false},
      {"CJK", "\u65E5\u672C", false, false, false},
      {"emoji", "\U0001F600", false, false, false},
      {"invalid UTF-8", "ab\xFF", false, false, false},
      {"encoded surrogate", "\xED\xA0\x80", false, false, false},
      {"marks around a word", "\u2581ab\u2581", true, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(eligible(c.text, Script::latin), c.latin);
    EXPECT_EQ(eligible(c.text, Script::cyrillic), c.cyrillic);
    EXPECT_EQ(eligible(c.text, Script::greek), c.greek);
  }
}

TEST(LanguageTest, CodesAndScripts) {
  ASSERT_EQ(allLanguages().size(), 28u);
  EXPECT_EQ(allLanguages().front(), Language::english);
  EXPECT_EQ(allLanguages().back(), Language::greek);
  for (Language language : allLanguages()) {
    SCOPED_TRACE(std::string(rawValue(language)));
    EXPECT_EQ(languageFromRawValue(rawValue(language)), language);
  }
  EXPECT_EQ(rawValue(Language::slovenian), "sl");
  EXPECT_EQ(languageFromRawValue("sr"), Language::serbian);
  EXPECT_EQ(script(Language::serbian), Script::cyrillic);
  EXPECT_EQ(script(Language::bosnian), Script::latin);
  EXPECT_EQ(script(Language::russian), Script::cyrillic);
  EXPECT_EQ(script(Language::greek), Script::greek);
  for (const char* code : {"EN", "En", "eng", "", " en", "xx"}) {
    EXPECT_EQ(languageFromRawValue(code), std::nullopt) << code;
  }
}

}  // namespace
}  // namespace tesselaudio
