#include "speech/ASR/Parakeet/SlidingWindow/CustomVocabulary/WordSpotting/BpeTokenizer.h"

#include <cstdint>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/TemporaryFolder.h"
#include "tests/support/TokenizerFileBuilder.h"

namespace tesselaudio {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Ids = std::vector<std::int64_t>;
using Pair = BpeTokenizer::Pair;

const std::string kMark = "\u2581";

// About forty pieces: the unknown token, the word mark, the letters and a few merged pieces, with
// upper-case letters at the end that encoding must never produce.
testsupport::TokenizerFileBuilder letters() {
  testsupport::TokenizerFileBuilder file;
  file.pieces = {"<unk>", kMark, "\t"};
  for (char c = 'a'; c <= 'z'; ++c) file.pieces.emplace_back(1, c);
  for (const char* piece : {"he", "ll", "hel", "xx", "o" "\u2581", "H", "W", "\u00E9"}) file.pieces.emplace_back(piece);
  return file;
}

class BpeTokenizerTest : public ::testing::Test {
 protected:
  std::shared_ptr<const BpeTokenizer> load(const testsupport::TokenizerFileBuilder& file) {
    file.write(folder_.path());
    return BpeTokenizer::load(folder_.path());
  }

  std::shared_ptr<const BpeTokenizer> loadText(const std::string& text) {
    testsupport::writeTokenizerText(folder_.path(), text);
    return BpeTokenizer::load(folder_.path());
  }

  testsupport::TemporaryFolder folder_;
};

TEST_F(BpeTokenizerTest, LoadChecksTheFileInOrder) {
  const struct {
    const char* name;
    std::string text;
    BpeTokenizer::Error::Case errorCase;
    std::string description;
  } cases[] = {
      {"array root", R"([{"model": {}}])", BpeTokenizer::Error::Case::invalidJSON,
       "Invalid JSON: Root is not a dictionary"},
      {"no model", R"({"added_tokens": []})", BpeTokenizer::Error::Case::missingField,
       "Missing required field: model"},
      {"model not an object", R"({"model": "BPE"})", BpeTokenizer::Error::Case::missingField,
       "Missing required field: model"},
      {"no type", R"({"model": {"vocab": {}, "merges": []}})", BpeTokenizer::Error::Case::missingField,
       "Missing required field: model.type"},
      {"type not a string", R"({"model": {"type": 1}})", BpeTokenizer::Error::Case::missingField,
       "Missing required field: model.type"},
      {"lower-case type before a missing vocabulary", R"({"model": {"type": "bpe"}})",
       BpeTokenizer::Error::Case::unsupportedTokenizerType,
       "Unsupported tokenizer type: bpe. Only 'BPE' is supported."},
      {"other type", R"({"model": {"type": "WordPiece", "vocab": {}, "merges": []}})",
       BpeTokenizer::Error::Case::unsupportedTokenizerType,
       "Unsupported tokenizer type: WordPiece. Only 'BPE' is supported."},
      {"no vocabulary", R"({"model": {"type": "BPE", "merges": []}})", BpeTokenizer::Error::Case::missingField,
       "Missing required field: model.vocab"},
      {"one fractional id", R"({"model": {"type": "BPE", "vocab": {"a": 0, "b": 1.5}, "merges": []}})",
       BpeTokenizer::Error::Case::missingField, "Missing required field: model.vocab"},
      {"one text id", R"({"model": {"type": "BPE", "vocab": {"a": "0"}, "merges": []}})",
       BpeTokenizer::Error::Case::missingField, "Missing required field: model.vocab"},
      {"no merges", R"({"model": {"type": "BPE", "vocab": {"a": 0}}})", BpeTokenizer::Error::Case::missingField,
       "Missing required field: model.merges"},
      {"merges as pairs", R"({"model": {"type": "BPE", "vocab": {"a": 0}, "merges": [["a", "b"]]}})",
       BpeTokenizer::Error::Case::missingField, "Missing required field: model.merges"},
      {"one merge not a string", R"({"model": {"type": "BPE", "vocab": {}, "merges": ["a b", 3]}})",
       BpeTokenizer::Error::Case::missingField, "Missing required field: model.merges"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      loadText(c.text);
      ADD_FAILURE() << "loaded";
    } catch (const BpeTokenizer::Error& error) {
      EXPECT_EQ(error.errorCase(), c.errorCase);
      EXPECT_EQ(error.description(), c.description);
    }
  }
}

TEST_F(BpeTokenizerTest, MissingFileNamesTheFile) {
  try {
    BpeTokenizer::load(folder_.path());
    FAIL() << "loaded";
  } catch (const BpeTokenizer::Error& error) {
    EXPECT_EQ(error.errorCase(), BpeTokenizer::Error::Case::fileNotFound);
    EXPECT_EQ(error.description(), "tokenizer.json not found at " + (folder_ / "tokenizer.json").string());
  }
}

TEST_F(BpeTokenizerTest, TextThatIsNotJsonThrowsTheParseErrorItself) {
  EXPECT_THROW(loadText("model: BPE"), nlohmann::json::parse_error);
}

TEST_F(BpeTokenizerTest, MergeEntriesSplitOnceAtTheFirstSpace) {
  const auto tokenizer = loadText(R"({"model": {"type": "BPE", "vocab": {},
      "merges": ["a b", "c d e", "nospace", "f ", "", "  g h", "i  j"]}})");
  EXPECT_THAT(tokenizer->merges(),
              ElementsAre(Pair{"a", "b"}, Pair{"c", "d e"}, Pair{"g", "h"}, Pair{"i", " j"}));
}

TEST_F(BpeTokenizerTest, AddedTokensComeFromTheRootOnly) {
  const auto underModel = loadText(R"({"model": {"type": "BPE", "vocab": {"a": 0}, "merges": [],
      "added_tokens": [{"content": "a", "id": 7}]}})");
  EXPECT_THAT(underModel->addedTokens(), IsEmpty());

  const auto atRoot = loadText(R"({"model": {"type": "BPE", "vocab": {"a": 0}, "merges": []},
      "added_tokens": [{"content": "<s>", "id": 1}, {"content": 5, "id": 2}, {"id": 3},
                       {"content": "x", "id": "4"}, {"content": "y", "id": 4.5}, {"content": "z"},
                       {"content": "<s>", "id": 9}]})");
  EXPECT_EQ(atRoot->addedTokens(), (std::unordered_map<std::string, std::int64_t>{{"<s>", 9}}));

  const auto oneEntryNotAnObject = loadText(R"({"model": {"type": "BPE", "vocab": {}, "merges": []},
      "added_tokens": [{"content": "<s>", "id": 1}, "oops"]})");
  EXPECT_THAT(oneEntryNotAnObject->addedTokens(), IsEmpty());
}

TEST_F(BpeTokenizerTest, MergesLowestRankFirst) {
  auto file = letters();
  file.merges = {"h e", "l l", "he l"};
  const auto tokenizer = load(file);
  // h e l l → he l l → he ll: (l, l) outranks (he, l).
  EXPECT_EQ(tokenizer->encode("hell", false, false), (Ids{file.idOf("he"), file.idOf("ll")}));
}

TEST_F(BpeTokenizerTest, EncodesWordsThroughTheWordMark) {
  auto file = letters();
  file.merges = {"x x", "o " + kMark};
  const auto tokenizer = load(file);
  const auto ids = [&](std::initializer_list<const char*> pieces) {
    Ids out;
    for (const char* piece : pieces) out.push_back(file.idOf(piece));
    return out;
  };
  const struct {
    const char* name;
    std::string text;
    bool boundary;
    Ids expected;
  } cases[] = {
      {"capitals lower-cased, mark in front and between words", "Hi Wa", true,
       ids({kMark.c_str(), "h", "i", kMark.c_str(), "w", "a"})},
      {"no-break space becomes the mark", "a\u00A0b", false, ids({"a", kMark.c_str(), "b"})},
      {"ideographic space becomes the mark", "a\u3000b", false, ids({"a", kMark.c_str(), "b"})},
      {"tab stays", "a\tb", false, ids({"a", "\t", "b"})},
      {"non-overlapping occurrences, left first", "xxx", false, ids({"xx", "x"})},
      {"a merge may cross the word boundary", "go on", false, ids({"g", "o\u2581", "o", "n"})},
      {"composed and decomposed accents are one piece", "e\u0301", false, ids({"\u00E9"})},
      {"compatibility ligature splits", "\uFB01", false, ids({"f", "i"})},
      {"empty text", "", false, {}},
      {"empty text with the mark", "", true, ids({kMark.c_str()})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(tokenizer->encode(c.text, false, c.boundary), c.expected);
    EXPECT_EQ(tokenizer->encode(c.text, true, c.boundary), c.expected) << "special tokens";
  }
}

TEST_F(BpeTokenizerTest, PiecesMapThroughAddedTokensThenTheUnknownChain) {
  auto file = letters();
  file.addedTokens = {{"a", 100}};
  EXPECT_EQ(load(file)->encode("ab?", false, false), (Ids{100, file.idOf("b"), file.idOf("<unk>")}));

  file.addedTokens = {{"<unk>", 200}};
  EXPECT_EQ(load(file)->encode("?", false, false), Ids{200});

  file.addedTokens = {};
  file.pieces.front() = "<pad>";
  EXPECT_EQ(load(file)->encode("a?", false, false), (Ids{file.idOf("a"), 0}));
}

TEST_F(BpeTokenizerTest, CanonicallyEquivalentPiecesOfTheFileMatch) {
  testsupport::TokenizerFileBuilder file;
  file.pieces = {"<unk>", "cafe\u0301", "caf", "e\u0301", "ca"};
  file.merges = {"c a", "ca f", "caf e\u0301"};
  EXPECT_EQ(load(file)->encode("CAF\u00C9", false, false), Ids{1});
}

}  // namespace
}  // namespace tesselaudio
