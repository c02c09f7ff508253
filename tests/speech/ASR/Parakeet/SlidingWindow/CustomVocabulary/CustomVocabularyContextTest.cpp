#include "speech/ASR/Parakeet/SlidingWindow/CustomVocabulary/CustomVocabularyContext.h"

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/sys/FileError.h"
#include "platform/sys/JsonCodingError.h"
#include "tests/support/SystemLogCapture.h"
#include "tests/support/TemporaryFolder.h"

namespace tesselaudio {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Ids = std::vector<std::int64_t>;
using Aliases = std::optional<std::vector<std::string>>;

class CustomVocabularyContextTest : public ::testing::Test {
 protected:
  std::filesystem::path write(const std::string& bytes, const std::string& name = "vocabulary.txt") {
    const auto path = folder_ / name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  CustomVocabularyContext loadFile(const std::string& bytes) {
    return CustomVocabularyContext::loadVocabularyFile(write(bytes));
  }

  std::vector<std::string> texts(const CustomVocabularyContext& context) {
    std::vector<std::string> out;
    for (const auto& term : context.terms) out.push_back(term.text);
    return out;
  }

  // The vocabulary loaders' log lines so far.
  std::vector<std::string> logLines() const { return log_.messages("CustomVocabulary"); }

  static void expectDefaultThresholds(const CustomVocabularyContext& context) {
    EXPECT_EQ(context.alpha, 0.5f);
    EXPECT_EQ(context.minCtcScore, -12.0f);
    EXPECT_EQ(context.minSimilarity, 0.52f);
    EXPECT_EQ(context.minCombinedConfidence, 0.54f);
    EXPECT_EQ(context.minTermLength, 3);
  }

  testsupport::TemporaryFolder folder_;
  testsupport::SystemLogCapture log_;
};

TEST_F(CustomVocabularyContextTest, FirstNonBlankByteChoosesTheFormat) {
  const struct {
    const char* name;
    std::string bytes;
    std::vector<std::string> terms;
  } cases[] = {
      {"empty file", "", {}},
      {"blanks and line breaks only", " \t\r\n \n", {}},
      {"JSON after blanks", " \r\n\t{\"terms\": [{\"text\": \"Tessel\"}]}", {"Tessel"}},
      {"byte-order mark before JSON", "\xEF\xBB\xBF{\"terms\": []}", {"\uFEFF{\"terms\""}},
      {"JSON array", "[\"Tessel\"]", {"[\"Tessel\"]"}},
      {"no-break space before a brace", "\u00A0{\"terms\": []}", {"{\"terms\""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto context = loadFile(c.bytes);
    EXPECT_EQ(texts(context), c.terms);
    expectDefaultThresholds(context);
  }
}

TEST_F(CustomVocabularyContextTest, JsonThresholdsAreReadByTheirExactKeys) {
  auto context = loadFile(R"({"terms": [], "Alpha": 0.9, "MinTermLength": 7})");
  EXPECT_THAT(context.terms, IsEmpty());
  expectDefaultThresholds(context);

  context = loadFile(R"({"terms": [], "alpha": 0.9, "minCtcScore": -7.5, "minSimilarity": 0.6,
                         "minCombinedConfidence": 0.7, "minTermLength": 5.0})");
  EXPECT_EQ(context.alpha, 0.9f);
  EXPECT_EQ(context.minCtcScore, -7.5f);
  EXPECT_EQ(context.minSimilarity, 0.6f);
  EXPECT_EQ(context.minCombinedConfidence, 0.7f);
  EXPECT_EQ(context.minTermLength, 5);
}

TEST_F(CustomVocabularyContextTest, JsonTermsKeepTheirFieldsWithClampedSimilarity) {
  const auto context = loadFile(R"({"terms": [
      {"text": "Tessel", "weight": 12.5, "aliases": ["tesla", " \t"], "tokenIds": [1, 2], "ctcTokenIds": [3],
       "minSimilarity": 1.7},
      {"text": "Velto", "aliases": [], "minSimilarity": -0.2},
      {"text": "Audio", "aliases": ["\t\n"]}]})");
  ASSERT_EQ(context.terms.size(), 3u);
  // An alias of spaces has no control character and stays; one of a tab and a line break goes.
  EXPECT_EQ(context.terms[0], CustomVocabularyTerm("Tessel", 12.5f, std::vector<std::string>{"tesla", " "},
                                                   Ids{1, 2}, Ids{3}, 1.0f));
  EXPECT_EQ(context.terms[1], CustomVocabularyTerm("Velto", std::nullopt, std::nullopt, std::nullopt,
                                                   std::nullopt, 0.0f));
  EXPECT_EQ(context.terms[2].aliases, std::nullopt);
}

TEST_F(CustomVocabularyContextTest, JsonLoaderLogsOneLinePerDoubtfulTerm) {
  const auto context = loadFile(R"({"terms": [
      {"text": "R2D2"},
      {"text": "\t\n"},
      {"text": "Tessel\tAudio"},
      {"text": "Café"},
      {"text": "O'Brien-Smith"},
      {"text": "   "},
      {"text": "a\u200Db"}]})");
  EXPECT_THAT(texts(context), ElementsAre("R2D2", "TesselAudio", "Café", "O'Brien-Smith", "   ", "a\u200Db"));
  EXPECT_THAT(logLines(), ElementsAre("Term 'R2D2': contains numbers, contains unusual characters",
                                      "Term '\t\n': contains control characters",
                                      "Term '\t\n' is empty after sanitization, skipping",
                                      "Term 'Tessel\tAudio': contains control characters",
                                      "Term 'Café': contains diacritics - consider adding ASCII alias",
                                      "Term 'a\u200Db': contains control characters, contains unusual characters"));
  EXPECT_EQ(context.terms[2].textLowercased, "café");
}

TEST_F(CustomVocabularyContextTest, PlainTextLinesFollowTheirRules) {
  const auto context = loadFile(
      "  # a comment\n"
      "Tessel\n"
      "Kubernetes: k8s ,  kube,,\n"
      ":orphan alias\n"
      "Velto:\n"
      "A:b:c\n"
      "Solo: , ,  \n"
      "Mid # hash\n"
      "\t Padded \u3000\n"
      "R2D2\n"
      "Tessel\n");
  const std::vector<CustomVocabularyTerm> expected = {
      CustomVocabularyTerm("Tessel", 10.0f),
      CustomVocabularyTerm("Kubernetes", 10.0f, std::vector<std::string>{"k8s", "kube"}),
      CustomVocabularyTerm("Velto", 10.0f),
      CustomVocabularyTerm("A", 10.0f, std::vector<std::string>{"b:c"}),
      CustomVocabularyTerm("Solo", 10.0f),
      CustomVocabularyTerm("Mid # hash", 10.0f),
      CustomVocabularyTerm("Padded", 10.0f),
      CustomVocabularyTerm("R2D2", 10.0f),
      CustomVocabularyTerm("Tessel", 10.0f),
  };
  EXPECT_EQ(context.terms, expected);
  expectDefaultThresholds(context);
  EXPECT_THAT(logLines(), IsEmpty());
}

TEST_F(CustomVocabularyContextTest, PlainTextSplitsAtEveryLineBreak) {
  const auto context = loadFile("a\nb\vc\fd\re\r\nf\u0085g\u2028h\u2029i\r\n\r\n");
  EXPECT_THAT(texts(context), ElementsAre("a", "b", "c", "d", "e", "f", "g", "h", "i"));
  EXPECT_EQ(loadFile("Tessel\r\nVelto: v\r\n").terms, loadFile("Tessel\nVelto: v\n").terms);
}

TEST_F(CustomVocabularyContextTest, BadInputFailsWithTheReadingOrDecodingError) {
  const struct {
    const char* name;
    std::string bytes;
  } jsonCases[] = {
      {"malformed", R"({"terms": [)"},
      {"empty object", "{}"},
      {"null terms", R"({"terms": null})"},
      {"term without text", R"({"terms": [{"weight": 1}]})"},
      {"text of the wrong type", R"({"terms": [{"text": 5}]})"},
      {"weight of the wrong type", R"({"terms": [{"text": "A"}, {"text": "B", "weight": "high"}]})"},
      {"fractional token id", R"({"terms": [{"text": "A", "ctcTokenIds": [1.5]}]})"},
      {"fractional minTermLength", R"({"terms": [], "minTermLength": 3.5})"},
      {"number beyond a float", R"({"terms": [], "alpha": 1e39})"},
      {"terms not an array", R"({"terms": {"text": "A"}})"},
  };
  for (const auto& c : jsonCases) {
    SCOPED_TRACE(c.name);
    EXPECT_THROW(loadFile(c.bytes), platform::JsonCodingError);
  }

  try {
    loadFile("Tessel\n\xFF\xFE\n");
    ADD_FAILURE() << "invalid UTF-8 loaded";
  } catch (const platform::FileError& error) {
    EXPECT_EQ(error.code(), platform::FileError::fileReadInapplicableStringEncoding);
  }
  EXPECT_THROW(CustomVocabularyContext::loadVocabularyFile(folder_ / "missing.txt"), platform::FileError);
  EXPECT_THROW(CustomVocabularyContext::load(folder_ / "missing.json"), platform::FileError);
  EXPECT_THROW(CustomVocabularyContext::loadFromSimpleFormat(folder_ / "missing.txt"), platform::FileError);
  // A folder where the file should be cannot be read.
  EXPECT_THROW(CustomVocabularyContext::loadVocabularyFile(folder_.path()), platform::FileError);
}

TEST_F(CustomVocabularyContextTest, TokenizingFillsOnlyMissingCtcIds) {
  const CustomVocabularyContext vocabulary{
      {CustomVocabularyTerm("Empty", 2.0f, std::vector<std::string>{"e"}, Ids{7}, Ids{}, 0.6f),
       CustomVocabularyTerm("Unknown"), CustomVocabularyTerm("Ready", std::nullopt, std::nullopt, std::nullopt, Ids{5}),
       CustomVocabularyTerm("Absent"), CustomVocabularyTerm("Lost")},
      0.25f, -9.0f, 0.6f, 0.7f, 4};
  std::vector<std::string> asked;
  const auto result = vocabulary.tokenizingMissingCtcTokens([&](const std::string& text) {
    asked.push_back(text);
    return text == "Unknown" || text == "Lost" ? Ids{} : Ids{static_cast<std::int64_t>(text.size())};
  });

  EXPECT_THAT(asked, ElementsAre("Empty", "Unknown", "Absent", "Lost"));
  EXPECT_EQ(result.tokenized, 2);
  EXPECT_THAT(result.dropped, ElementsAre("Unknown", "Lost"));
  const CustomVocabularyContext expected{
      {CustomVocabularyTerm("Empty", 2.0f, std::vector<std::string>{"e"}, Ids{7}, Ids{5}, 0.6f),
       CustomVocabularyTerm("Ready", std::nullopt, std::nullopt, std::nullopt, Ids{5}),
       CustomVocabularyTerm("Absent", std::nullopt, std::nullopt, std::nullopt, Ids{6})},
      0.25f, -9.0f, 0.6f, 0.7f, 4};
  EXPECT_EQ(result.context, expected);
  EXPECT_EQ(vocabulary.terms.size(), 5u);
}

}  // namespace
}  // namespace tesselaudio
