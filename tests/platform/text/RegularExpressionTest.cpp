#include "platform/text/RegularExpression.h"

#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/text/RegularExpressionError.h"

namespace platform::text {
namespace {

using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

// The byte-level BPE pre-tokenizer's default pattern.
constexpr const char* kPreTokenizer =
    R"((?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}{1,3}| ?[^\s\p{L}\p{N}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+)";

std::vector<std::string> texts(const std::vector<RegularExpression::Match>& matches) {
  std::vector<std::string> out;
  for (const auto& m : matches) out.push_back(m.text);
  return out;
}

std::vector<std::string> firstGroups(const std::vector<RegularExpression::Match>& matches) {
  std::vector<std::string> out;
  for (const auto& m : matches) out.push_back(m.groups.at(0).value_or("<none>"));
  return out;
}

TEST(RegularExpressionTest, MatchesCapturesAndReplacesOverUnicodeText) {
  struct Case {
    const char* name;
    std::string pattern;
    std::string text;
    std::vector<std::string> matches;
    std::vector<std::string> groups;  // first group of each match, when the pattern has one
    std::string replaced;             // with every match removed
  };
  const Case cases[] = {
      {"pre-tokenizer", kPreTokenizer, "it's 12345\n", {"it", "'s", " ", "123", "45", "\n"}, {}, ""},
      {"pre-tokenizer keeps case-insensitive contractions", kPreTokenizer, "WE'LL go", {"WE", "'LL", " go"}, {}, ""},
      {"tags", R"(<\|([^|]*)\|>)", "<|ja|><|HAPPY|>こんにちは", {"<|ja|>", "<|HAPPY|>"}, {"ja", "HAPPY"}, "こんにちは"},
      {"emoji outside the basic plane is one character", "^.$", "😀", {"😀"}, {}, ""},
      {"emoji among letters", R"(\p{So})", "a😀b🎉", {"😀", "🎉"}, {}, "ab"},
      {"invalid UTF-8 reads as U+FFFD", ".", "a\xff" "b", {"a", "\xEF\xBF\xBD", "b"}, {}, ""},
      {"optional group that takes no part", "x(y)?", "xyx", {"xy", "x"}, {"y", "<none>"}, ""},
      {"no match", "z", "abc", {}, {}, "abc"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RegularExpression expression(c.pattern);
    const auto found = expression.matches(c.text);
    EXPECT_THAT(texts(found), ElementsAreArray(c.matches));
    if (!c.groups.empty()) {
      EXPECT_THAT(firstGroups(found), ElementsAreArray(c.groups));
    }
    EXPECT_EQ(expression.replacingMatches(c.text, ""), c.replaced);
  }
}

TEST(RegularExpressionTest, ReplacementNamesGroups) {
  const RegularExpression tags(R"(<\|([^|]*)\|>)");
  EXPECT_EQ(tags.replacingMatches("<|ja|>こんにちは<|en|>", "[$1]"), "[ja]こんにちは[en]");
}

TEST(RegularExpressionTest, PatternThatDoesNotCompileGivesOurErrorWithIcusMessage) {
  for (const char* pattern : {"(", "[a-", "a{2,1}", R"(\p{NoSuchProperty})"}) {
    SCOPED_TRACE(pattern);
    try {
      RegularExpression expression(pattern);
      ADD_FAILURE() << "compiled";
    } catch (const RegularExpressionError& e) {
      EXPECT_EQ(e.errorCase(), RegularExpressionError::Case::invalidPattern);
      EXPECT_EQ(e.pattern(), pattern);
      EXPECT_EQ(e.domain(), RegularExpressionError::kDomain);
      EXPECT_THAT(e.description(), HasSubstr(pattern));
      EXPECT_THAT(e.description(), HasSubstr("U_"));
    }
  }
}

TEST(RegularExpressionTest, OneCompiledPatternServesSeveralThreads) {
  const RegularExpression expression(kPreTokenizer);
  const std::string text = "it's 12345\nand more words, 678 of them\n";
  const auto expected = texts(expression.matches(text));
  std::vector<std::vector<std::string>> results(8);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < results.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) results[t] = texts(expression.matches(text));
    });
  }
  for (auto& thread : threads) thread.join();
  for (const auto& result : results) EXPECT_EQ(result, expected);
}

}  // namespace
}  // namespace platform::text
