#include "speech/ASR/Parakeet/SlidingWindow/CTC/ARPALanguageModel.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "speech/ASR/Parakeet/SlidingWindow/CTC/ARPAError.h"
#include "tests/support/SystemLogCapture.h"
#include "tests/support/TemporaryFolder.h"

namespace tesselaudio {
namespace {

using Entry = ARPALanguageModel::Entry;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr float kLn10 = ARPALanguageModel::log10ToNat;

class ARPALanguageModelTest : public ::testing::Test {
 protected:
  std::filesystem::path write(const std::string& bytes) {
    const auto path = folder_ / ("model" + std::to_string(files_++) + ".arpa");
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  ARPALanguageModel load(const std::string& bytes) { return ARPALanguageModel::load(write(bytes)); }

  // The messages logged by the loader so far.
  std::vector<std::string> warnings() const {
    std::vector<std::string> messages;
    for (const auto& record : log_.records()) {
      if (record.category == "ARPALanguageModel") messages.push_back(record.message);
    }
    return messages;
  }

  testsupport::TemporaryFolder folder_;
  testsupport::SystemLogCapture log_;
  int files_ = 0;
};

TEST_F(ARPALanguageModelTest, ReadsUnigramsAndBigramsInNaturalLogarithms) {
  const auto model = load(
      "\\data\\\nngram 1=2\nngram 2=1\n\n"
      "\\1-grams:\n-1.0\tword\t-0.5\n-2\tother\n"
      "\\2-grams:\n-0.25\tword\tother\t-0.75\n-0.5\tother\tword\n"
      "\\end\\\n");

  EXPECT_FLOAT_EQ(model.unigrams.at("word").logProb, -2.3025851F);
  EXPECT_FLOAT_EQ(model.unigrams.at("word").backoff, -1.1512926F);
  EXPECT_EQ(model.unigrams.at("other"), (Entry{-2 * kLn10, 0}));
  EXPECT_EQ(model.bigrams.at("word").at("other"), (Entry{-0.25F * kLn10, -0.75F * kLn10}));
  EXPECT_EQ(model.bigrams.at("other").at("word"), (Entry{-0.5F * kLn10, 0}));
  EXPECT_EQ(model.unigrams.size(), 2U);
  EXPECT_EQ(model.bigrams.size(), 2U);
  EXPECT_THAT(warnings(), IsEmpty());
}

TEST_F(ARPALanguageModelTest, LoadsEdgeCasesOfTheFormat) {
  struct Case {
    const char* name;
    std::string file;
    ARPALanguageModel::WordTable<Entry> unigrams;
    ARPALanguageModel::WordTable<ARPALanguageModel::WordTable<Entry>> bigrams;
    std::vector<std::string> warnings;
  };
  const Case cases[] = {
      {"back-off that is no number counts as 0",
       "\\1-grams:\n-1\ta\tlow\n",
       {{"a", {-kLn10, 0}}},
       {},
       {}},
      {"first field that is no number",
       "\\1-grams:\nabc\ta\t-1\n-1\tb\n",
       {{"b", {-kLn10, 0}}},
       {},
       {"Skipping malformed ARPA line: abc\ta\t-1"}},
      {"bigram words joined by a space form one field",
       "\\2-grams:\n-1\tthe cat\tsat\n-2\tthe cat\n",
       {},
       {{"the cat", {{"sat", {-kLn10, 0}}}}},
       {}},
      {"lines after end are not read",
       "\\1-grams:\n-1\ta\n\\end\\\n-2\tb\nnonsense\n",
       {{"a", {-kLn10, 0}}},
       {},
       {}},
      {"other sections and lines before the first one are ignored",
       "-1\tearly\n\\1-grams:\n-1\ta\n\\3-grams:\n-1\ta\tb\tc\n-1\tc\n",
       {{"a", {-kLn10, 0}}},
       {},
       {}},
      {"a later line replaces an earlier one",
       "\\1-grams:\n-1\ta\t-1\n-2\ta\n\\2-grams:\n-1\ta\tb\n-3\ta\tb\t-1\n",
       {{"a", {-2 * kLn10, 0}}},
       {{"a", {{"b", {-3 * kLn10, -kLn10}}}}},
       {}},
      {"headers must match exactly",
       "\\1-grams\n-1\ta\n\\1-GRAMS:\n-1\tb\n\\2-grams: x\n-1\tc\td\n\\1-grams:\n-1\te\n",
       {{"e", {-kLn10, 0}}},
       {},
       {}},
      {"short lines are ignored",
       "\\1-grams:\n-1\n\\2-grams:\n-1\ta\n",
       {},
       {},
       {}},
      {"CR LF line ends and blanks around lines",
       "\\data\\\r\n\\1-grams:\r\n  -1\ta\t-1 \r\n\r\n\\2-grams:\r\n-1\ta\tb\r\n\\end\\\r\n",
       {{"a", {-kLn10, -kLn10}}},
       {{"a", {{"b", {-kLn10, 0}}}}},
       {}},
      {"last line without a line feed",
       "\\1-grams:\n-1\ta\n-2\tb",
       {{"a", {-kLn10, 0}}, {"b", {-2 * kLn10, 0}}},
       {},
       {}},
      {"lines that are not UTF-8 are skipped and reading goes on",
       "\\1-grams:\n-1\ta\n-1\tb\xff\xfe\n-1\tc\xc3\n-1\tcaf\xc3\xa9\n\\2-grams:\n-1\ta\tcaf\xc3\xa9\n",
       {{"a", {-kLn10, 0}}, {"caf\xc3\xa9", {-kLn10, 0}}},
       {{"a", {{"caf\xc3\xa9", {-kLn10, 0}}}}},
       {"Skipping malformed ARPA line: -1\tb\xef\xbf\xbd\xef\xbf\xbd",
        "Skipping malformed ARPA line: -1\tc\xef\xbf\xbd"}},
      {"empty file", "", {}, {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::SystemLogCapture log;
    const auto model = load(c.file);
    EXPECT_EQ(model.unigrams, c.unigrams);
    EXPECT_EQ(model.bigrams, c.bigrams);
    std::vector<std::string> messages;
    for (const auto& record : log.records()) messages.push_back(record.message);
    EXPECT_EQ(messages, c.warnings);
  }
}

TEST_F(ARPALanguageModelTest, MalformedLinesAreLoggedAsWarnings) {
  load("\\1-grams:\nx\ty\n");
  AppLogger("reference").warning("m");
  const auto records = log_.records();
  ASSERT_EQ(records.size(), 2U);
  EXPECT_EQ(records[0].level, records[1].level);
  EXPECT_EQ(records[0].category, "ARPALanguageModel");
  EXPECT_EQ(records[0].message, "Skipping malformed ARPA line: x\ty");
}

TEST_F(ARPALanguageModelTest, LinesAcrossChunkBoundariesArriveWhole) {
  std::string file = "\\1-grams:\n";
  // Filler that leaves the next line starting a few bytes before the first 64 KiB boundary.
  const std::string filler = "-1\tfiller\n";
  while (file.size() + filler.size() < 65536 - 4) file += filler;
  file += "-1.5\tacross\t-0.5\n";
  const std::string longWord(150000, 'w');
  file += "-2\t" + longWord + "\t-1\n";
  file += "-3\tlast";
  const auto model = load(file);

  EXPECT_EQ(model.unigrams.at("across"), (Entry{-1.5F * kLn10, -0.5F * kLn10}));
  EXPECT_EQ(model.unigrams.at(longWord), (Entry{-2 * kLn10, -kLn10}));
  EXPECT_EQ(model.unigrams.at("last"), (Entry{-3 * kLn10, 0}));
  EXPECT_EQ(model.unigrams.size(), 4U);
  EXPECT_THAT(warnings(), IsEmpty());
}

// The log10 value written for entry `i`, as text and as the number it stands for.
std::string valueText(int i) { return "-" + std::to_string(1 + i % 7) + "." + std::to_string(10 + i % 90); }
float valueOf(int i) { return static_cast<float>(-((1 + i % 7) * 100 + 10 + i % 90) / 100.0); }

TEST_F(ARPALanguageModelTest, LoadsEveryEntryOfALargeFile) {
  constexpr int kWords = 5000;
  auto word = [](int i) { return "w" + std::to_string(i); };
  std::string file = "\\data\\\r\nngram 1=5000\r\n\r\n\\1-grams:\r\n";
  for (int i = 0; i < kWords; ++i) file += valueText(i) + "\t" + word(i) + "\t" + valueText(i + 1) + "\r\n";
  file += "\\2-grams:\r\n";
  int bigrams = 0;
  while (file.size() < 20'000'000) {
    file += valueText(bigrams) + "\t" + word(bigrams % kWords) + "\t" + word(bigrams / kWords) + "\r\n";
    ++bigrams;
    if (bigrams == 300'000) file += "-1\tbroken\xff\r\n";
  }
  file.resize(file.size() - 2);  // the last line ends without a line break
  const auto model = load(file);

  ASSERT_EQ(model.unigrams.size(), static_cast<size_t>(kWords));
  for (int i = 0; i < kWords; ++i) {
    ASSERT_EQ(model.unigrams.at(word(i)), (Entry{valueOf(i) * kLn10, valueOf(i + 1) * kLn10})) << word(i);
  }
  size_t stored = 0;
  for (const auto& [previous, following] : model.bigrams) stored += following.size();
  ASSERT_EQ(stored, static_cast<size_t>(bigrams));
  for (int i = 0; i < bigrams; ++i) {
    ASSERT_EQ(model.bigrams.at(word(i % kWords)).at(word(i / kWords)), (Entry{valueOf(i) * kLn10, 0})) << i;
  }
  EXPECT_THAT(warnings(), ElementsAre("Skipping malformed ARPA line: -1\tbroken\xef\xbf\xbd"));
}

TEST_F(ARPALanguageModelTest, FileThatCannotBeOpenedThrowsCannotOpen) {
  const std::filesystem::path paths[] = {folder_ / "missing.arpa", folder_.path()};
  for (const auto& path : paths) {
    SCOPED_TRACE(path.string());
    try {
      ARPALanguageModel::load(path);
      ADD_FAILURE() << "no error";
    } catch (const platform::Error& error) {
      const auto* arpa = dynamic_cast<const ARPAError*>(&error);
      ASSERT_NE(arpa, nullptr);
      EXPECT_EQ(arpa->errorCase(), ARPAError::Case::cannotOpen);
      EXPECT_EQ(error.code(), 0);
      EXPECT_EQ(error.typeName(), "ARPAError");
      EXPECT_EQ(error.description(), "Cannot open ARPA file: " + path.string());
    }
  }
}

TEST_F(ARPALanguageModelTest, ScoreBacksOffToUnigrams) {
  const auto model = load(
      "\\1-grams:\n-1\tthe\t-0.5\n-2\tcat\t-0.25\n-3\tdog\n"
      "\\2-grams:\n-0.1\tthe\tcat\t-9\n");
  struct Case {
    const char* name;
    const char* word;
    std::optional<std::string_view> prev;
    float score;
  };
  const Case cases[] = {
      {"stored bigram, no back-off", "cat", "the", -0.1F * kLn10},
      {"pair that is no bigram", "dog", "the", -0.5F * kLn10 + -3 * kLn10},
      {"previous word without back-off", "dog", "dog", -3 * kLn10},
      {"previous word unknown", "cat", "zebra", -2 * kLn10},
      {"no previous word", "cat", std::nullopt, -2 * kLn10},
      {"unknown word alone", "zebra", std::nullopt, -23.026F},
      {"unknown word after a unigram", "zebra", "cat", -0.25F * kLn10 + ARPALanguageModel::unkLogProb},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FLOAT_EQ(model.score(c.word, c.prev), c.score);
  }
}

}  // namespace
}  // namespace tesselaudio
