#include "speech/ASR/Parakeet/SlidingWindow/CustomVocabulary/WordSpotting/CtcTokenizer.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/sys/FileError.h"
#include "speech/ASR/Parakeet/SlidingWindow/CustomVocabulary/WordSpotting/BpeTokenizer.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/TokenizerFileBuilder.h"

namespace tesselaudio {
namespace {

using Ids = std::vector<std::int64_t>;

const std::string kMark = "\u2581";

testsupport::TokenizerFileBuilder spotterTokenizer() {
  testsupport::TokenizerFileBuilder file;
  file.pieces = {"<unk>", kMark};
  for (char c = 'a'; c <= 'z'; ++c) file.pieces.emplace_back(1, c);
  for (const char* piece : {"\u2581t", "es", "\u2581tes", "se", "ss", "el"}) file.pieces.emplace_back(piece);
  // "▁ ?" makes a piece that is not in the vocabulary, so "?" reads as unknown either way.
  file.merges = {kMark + " t", "e s", kMark + "t es", "s e", "s s", "e l", kMark + " ?"};
  return file;
}

std::filesystem::path defaultFolder() {
  return std::filesystem::path(std::getenv("XDG_DATA_HOME")) / "TesselAudio" / "Models" /
         "parakeet-ctc-110m-coreml";
}

CtcTokenizer::Error loadError(const std::filesystem::path& folder) {
  try {
    CtcTokenizer::load(folder);
  } catch (const CtcTokenizer::Error& error) {
    return error;
  }
  throw std::runtime_error("loaded");
}

TEST(CtcTokenizerTest, EncodesWithAndWithoutTheWordMark) {
  testsupport::TemporaryFolder folder;
  const auto file = spotterTokenizer();
  file.write(folder.path());
  const auto tokenizer = CtcTokenizer::load(folder.path());

  EXPECT_EQ(tokenizer->encode("Tessel"), (Ids{file.idOf("\u2581tes"), file.idOf("se"), file.idOf("l")}));
  EXPECT_EQ(tokenizer->encodeWithoutBoundary("Tessel"),
            (Ids{file.idOf("t"), file.idOf("es"), file.idOf("se"), file.idOf("l")}));
  EXPECT_EQ(tokenizer->encodeVariants("Tessel"),
            (std::vector<Ids>{tokenizer->encode("Tessel"), tokenizer->encodeWithoutBoundary("Tessel")}));
  EXPECT_EQ(tokenizer->encodeVariants("?"), (std::vector<Ids>{Ids{file.idOf("<unk>")}}));
  EXPECT_EQ(tokenizer->bpeTokenizer()->encode("Tessel", false, true), tokenizer->encode("Tessel"));
}

TEST(CtcTokenizerTest, FolderWithoutTokenizerIsNotFound) {
  testsupport::TemporaryFolder folder;
  const auto error = loadError(folder.path());
  EXPECT_EQ(error.errorCase(), CtcTokenizer::Error::Case::tokenizerNotFound);
  EXPECT_EQ(error.description(), "tokenizer.json not found at " + folder.path().string());
}

TEST(CtcTokenizerTest, EveryLoaderErrorIsWrapped) {
  testsupport::TemporaryFolder folder;

  testsupport::writeTokenizerText(folder.path(), R"({"model": {"type": "bpe"}})");
  auto error = loadError(folder.path());
  EXPECT_EQ(error.errorCase(), CtcTokenizer::Error::Case::initializationFailed);
  EXPECT_EQ(error.description(),
            "Failed to initialize HuggingFace tokenizer: Unsupported tokenizer type: bpe. Only 'BPE' is supported.");
  ASSERT_NE(error.underlying(), nullptr);
  EXPECT_EQ(error.underlying()->code(), static_cast<int>(BpeTokenizer::Error::Case::unsupportedTokenizerType));

  testsupport::writeTokenizerText(folder.path(), "not json");
  error = loadError(folder.path());
  EXPECT_EQ(error.errorCase(), CtcTokenizer::Error::Case::initializationFailed);
  EXPECT_TRUE(error.description().starts_with("Failed to initialize HuggingFace tokenizer: [json.exception.parse_error"))
      << error.description();
  EXPECT_THROW(std::rethrow_exception(error.underlyingException()), nlohmann::json::parse_error);

  // A folder in place of the file exists but cannot be read.
  std::filesystem::remove(folder / "tokenizer.json");
  std::filesystem::create_directory(folder / "tokenizer.json");
  error = loadError(folder.path());
  EXPECT_EQ(error.errorCase(), CtcTokenizer::Error::Case::initializationFailed);
  EXPECT_THROW(std::rethrow_exception(error.underlyingException()), platform::FileError);
}

TEST(CtcTokenizerTest, ErrorCasesDescribeThemselves) {
  const std::filesystem::path folder = "/models/ctc";
  const struct {
    const char* name;
    CtcTokenizer::Error error;
    CtcTokenizer::Error::Case errorCase;
    std::string description;
  } cases[] = {
      {"not found", CtcTokenizer::Error::tokenizerNotFound(folder), CtcTokenizer::Error::Case::tokenizerNotFound,
       "tokenizer.json not found at /models/ctc"},
      {"missing file", CtcTokenizer::Error::missingFile("vocab.json", folder),
       CtcTokenizer::Error::Case::missingFile, "Missing required file 'vocab.json' in /models/ctc"},
      {"initialisation",
       CtcTokenizer::Error::initializationFailed(std::make_exception_ptr(BpeTokenizer::Error::missingField("model"))),
       CtcTokenizer::Error::Case::initializationFailed,
       "Failed to initialize HuggingFace tokenizer: Missing required field: model"},
      {"no data folder", CtcTokenizer::Error::applicationSupportNotFound(),
       CtcTokenizer::Error::Case::applicationSupportNotFound, "Application Support directory not found"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.error.errorCase(), c.errorCase);
    EXPECT_EQ(c.error.description(), c.description);
    EXPECT_EQ(c.error.domain(), CtcTokenizer::Error::kDomain);
  }
}

TEST(CtcTokenizerTest, DefaultLoadReadsTheSmallCtcModelFolder) {
  // A data folder of this test's own; each case runs in a process of its own.
  testsupport::TemporaryFolder data;
  ::setenv("XDG_DATA_HOME", data.path().c_str(), 1);
  try {
    CtcTokenizer::load();
    FAIL() << "loaded";
  } catch (const CtcTokenizer::Error& error) {
    EXPECT_EQ(error.errorCase(), CtcTokenizer::Error::Case::tokenizerNotFound);
    EXPECT_EQ(error.description(), "tokenizer.json not found at " + defaultFolder().string());
  }

  const auto file = spotterTokenizer();
  file.write(defaultFolder());
  EXPECT_EQ(CtcTokenizer::load()->encode("t"), Ids{file.idOf("\u2581t")});
}

}  // namespace
}  // namespace tesselaudio
