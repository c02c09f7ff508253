#include "speech/ASR/Parakeet/Streaming/Nemotron/NemotronMultilingualTokenizer.h"

#include <fstream>

#include <gtest/gtest.h>

#include "platform/sys/Error.h"
#include "tests/support/TemporaryFolder.h"

namespace tesselaudio {
namespace {

namespace fs = std::filesystem;

// Tags: 100 <en>, 101 <de>, 102 en (no brackets), 103 <>, 104 <en> again; 105 is a tag id without a piece.
constexpr const char* kVocab = R"({"0": "▁hello", "1": "▁world", "2": "▁", "3": "▁▁wide", "4": "ly",
  "100": "<en>", "101": "<de>", "102": "en", "103": "<>", "104": "<en>", "110": "<fr>"})";
const std::set<std::int64_t> kTags{100, 101, 102, 103, 104, 105};

class NemotronMultilingualTokenizerTest : public ::testing::Test {
 protected:
  NemotronMultilingualTokenizer tokenizer(const std::string& vocab = kVocab, std::set<std::int64_t> tags = kTags) {
    const fs::path file = folder_.path() / ("tokenizer" + std::to_string(files_++) + ".json");
    std::ofstream(file, std::ios::binary) << vocab;
    return NemotronMultilingualTokenizer(file, std::move(tags));
  }

  testsupport::TemporaryFolder folder_;
  int files_ = 0;
};

TEST_F(NemotronMultilingualTokenizerTest, DecodesTextAndFirstLanguage) {
  const auto t = tokenizer();
  struct Case {
    const char* name;
    std::vector<std::int64_t> ids;
    NemotronMultilingualDecoded decoded;
  };
  for (const Case& c : {
           Case{"two tags, first wins", {100, 101, 0, 1}, {"hello world", "en"}},
           Case{"tags inside the text", {0, 101, 1, 100}, {"hello world", "de"}},
           Case{"piece without brackets", {102, 0}, {"hello", "en"}},
           Case{"empty brackets", {103, 0}, {"hello", ""}},
           Case{"tag without piece leaves it open", {105, 101, 0}, {"hello", "de"}},
           Case{"only a tag without piece", {105, 0}, {"hello", std::nullopt}},
           Case{"no tag", {0, 1}, {"hello world", std::nullopt}},
           Case{"doubled spaces come out single", {0, 2, 3, 4, 2, 2, 1}, {"hello widely world", std::nullopt}},
           Case{"unknown ids skipped", {0, 999, 1}, {"hello world", std::nullopt}},
           Case{"a vocabulary tag not in the set is text", {110, 0}, {"<fr> hello", std::nullopt}},
           Case{"nothing", {}, {"", std::nullopt}},
       }) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(t.decode(c.ids), c.decoded);
  }
}

TEST_F(NemotronMultilingualTokenizerTest, FindsTagTokenOfALanguageExactly) {
  const auto t = tokenizer();
  EXPECT_EQ(t.langTagTokenId("en"), 100);  // the lowest of 100 and 104
  EXPECT_EQ(t.langTagTokenId("de"), 101);
  EXPECT_EQ(t.langTagTokenId(""), 103);
  EXPECT_EQ(t.langTagTokenId("EN"), std::nullopt);
  EXPECT_EQ(t.langTagTokenId("fr"), std::nullopt);  // its piece exists, but it is no tag id
  EXPECT_EQ(t.langTagTokenId("xx"), std::nullopt);
  EXPECT_EQ(t.rawToken(100), "<en>");
  EXPECT_EQ(t.rawToken(0), "▁hello");
  EXPECT_EQ(t.rawToken(105), std::nullopt);
}

TEST(NemotronMultilingualTokenizerStripTest, StripsOnlyEnclosingBrackets) {
  struct Case {
    const char* in;
    const char* out;
  };
  for (const Case& c : {Case{"<en>", "en"}, Case{"<>", ""}, Case{"<", "<"}, Case{">", ">"}, Case{"en", "en"},
                        Case{"<en", "<en"}, Case{"en>", "en>"}, Case{"<<x>>", "<x>"}, Case{"", ""},
                        Case{"<日本>", "日本"}}) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(NemotronMultilingualTokenizer::stripAngleBrackets(c.in), c.out);
  }
}

TEST_F(NemotronMultilingualTokenizerTest, RefusesVocabulariesThatAreNotObjectsOfStrings) {
  for (const char* vocab : {"[\"a\"]", R"({"0": 5})", "{", ""}) {
    SCOPED_TRACE(vocab);
    EXPECT_THROW(tokenizer(vocab), platform::Error);
  }
  EXPECT_THROW(NemotronMultilingualTokenizer(folder_.path() / "missing.json", {}), platform::Error);
}

}  // namespace
}  // namespace tesselaudio
