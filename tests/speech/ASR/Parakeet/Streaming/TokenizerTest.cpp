#include "speech/ASR/Parakeet/Streaming/Tokenizer.h"

#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/sys/FileError.h"
#include "platform/sys/FileIO.h"
#include "platform/sys/JsonCodingError.h"
#include "speech/ASR/Parakeet/Streaming/StreamingAsrUtils.h"
#include "tests/support/TemporaryFolder.h"

namespace tesselaudio {
namespace {

class TokenizerTest : public testing::Test {
 protected:
  std::filesystem::path write(const std::string& json) {
    const auto path = folder_ / "vocab.json";
    platform::writeFileAtomically(path, json);
    return path;
  }
  Tokenizer load(const std::string& json) { return Tokenizer(write(json)); }

  testsupport::TemporaryFolder folder_;
};

TEST_F(TokenizerTest, KeysThatAreNoIdsStayOutOfTheVocabulary) {
  const Tokenizer tokenizer = load(R"({"0": "▁he", "1": "llo", "x": "?"})");
  EXPECT_EQ(tokenizer.vocab().size(), 3u);
  EXPECT_EQ(tokenizer.vocabulary(), (std::map<std::int64_t, std::string>{{0, "▁he"}, {1, "llo"}}));
  EXPECT_EQ(tokenizer.decode({0, 1, 5}), "hello");
  EXPECT_EQ(StreamingAsrUtils::decodeTokens({0, 1, 5}, tokenizer), "hello");
}

TEST_F(TokenizerTest, DecodeJoinsPiecesAndTrimsBlanksButNotLineBreaks) {
  const Tokenizer tokenizer = load(R"({"0": "▁", "1": "a", "2": "\t", "3": "\n", "4": "▁▁", "5": "\u3000",
                                       "6": "▁b", "8": " "})");
  struct Case {
    const char* name;
    std::vector<std::int64_t> ids;
    const char* expected;
  };
  const Case cases[] = {
      {"no ids", {}, ""},
      {"only ids without pieces", {-1, 7, 99, std::numeric_limits<std::int64_t>::max()}, ""},
      {"lone word marks at the ends", {0, 1, 0}, "a"},
      {"lone word mark only", {0}, ""},
      {"tabs at the ends", {2, 1, 2}, "a"},
      {"ideographic space at the ends", {5, 1, 5}, "a"},
      {"plain spaces at the ends", {8, 1, 8}, "a"},
      {"line breaks at the ends stay", {3, 1, 3}, "\na\n"},
      {"line break behind a space stays", {0, 3, 1}, "\na"},
      {"inner runs of spaces stay", {1, 4, 6}, "a   b"},
      {"negative ids and gaps are skipped", {1, -6, 7, 1000, 6}, "a b"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(tokenizer.decode(c.ids), c.expected);
  }
}

TEST_F(TokenizerTest, PieceAndRawTokenAgree) {
  const Tokenizer tokenizer = load(R"({"0": "▁he", "1": "llo", "3": "▁"})");
  for (std::int64_t id = -2; id <= 5; ++id) {
    SCOPED_TRACE(id);
    EXPECT_EQ(tokenizer.piece(id), tokenizer.rawToken(id));
  }
  EXPECT_EQ(tokenizer.piece(0), "▁he");
  EXPECT_EQ(tokenizer.piece(3), "▁");
  EXPECT_EQ(tokenizer.piece(2), std::nullopt);
}

TEST_F(TokenizerTest, KeysReadAsSignedDecimalIntegers) {
  struct Case {
    const char* key;
    std::optional<std::int64_t> id;
  };
  const Case cases[] = {
      {"7", 7},
      {"+8", 8},
      {"-3", -3},
      {"0009", 9},
      {"-0", 0},
      {"9223372036854775807", std::numeric_limits<std::int64_t>::max()},
      {"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
      {"9223372036854775808", std::nullopt},
      {"-9223372036854775809", std::nullopt},
      {"99999999999999999999999", std::nullopt},
      {"", std::nullopt},
      {"+", std::nullopt},
      {"-", std::nullopt},
      {"+-1", std::nullopt},
      {"1.0", std::nullopt},
      {" 1", std::nullopt},
      {"1 ", std::nullopt},
      {"0x1", std::nullopt},
      {"1e3", std::nullopt},
      {"\xEF\xBC\x91", std::nullopt},  // a full-width digit one
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("key \"") + c.key + "\"");
    const Tokenizer tokenizer = load(std::string(R"({")") + c.key + R"(": "piece"})");
    EXPECT_EQ(tokenizer.vocab().size(), 1u);
    if (c.id) {
      EXPECT_EQ(tokenizer.vocabulary(), (std::map<std::int64_t, std::string>{{*c.id, "piece"}}));
    } else {
      EXPECT_TRUE(tokenizer.vocabulary().empty());
    }
  }
}

TEST_F(TokenizerTest, OfKeysNamingOneIdTheLastInTheFileWins) {
  EXPECT_EQ(load(R"({"7": "a", "+7": "b", "07": "c"})").piece(7), "c");
  const Tokenizer reversed = load(R"({"07": "c", "+7": "b", "7": "a"})");
  EXPECT_EQ(reversed.piece(7), "a");
  EXPECT_EQ(reversed.vocab().size(), 3u);
  EXPECT_EQ(reversed.vocabulary().size(), 1u);
}

TEST_F(TokenizerTest, FilesThatAreNoObjectOfStringsAreRefusedNamingTheFile) {
  const char* contents[] = {
      "", "not json", R"({"0": "a")", "[\"a\", \"b\"]", "\"a\"", "17", "null",
      R"({"0": 1})", R"({"0": "a", "1": null})", R"({"0": ["a"]})", R"({"0": {"x": "a"}})",
  };
  for (const char* content : contents) {
    SCOPED_TRACE(content);
    const auto path = write(content);
    try {
      Tokenizer tokenizer(path);
      ADD_FAILURE() << "no error";
    } catch (const platform::JsonCodingError& e) {
      EXPECT_EQ(e.errorCase(), platform::JsonCodingError::Case::dataCorrupted);
      EXPECT_NE(e.description().find(path.string()), std::string::npos) << e.description();
    }
  }
}

TEST_F(TokenizerTest, MissingFileIsAFileError) {
  EXPECT_THROW(Tokenizer(folder_ / "absent.json"), platform::FileError);
}

}  // namespace
}  // namespace tesselaudio
