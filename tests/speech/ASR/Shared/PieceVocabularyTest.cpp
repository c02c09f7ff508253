#include "speech/ASR/Shared/PieceVocabulary.h"

#include <fstream>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "platform/sys/FileError.h"
#include "speech/ASR/Parakeet/ASRError.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/ThrownDescription.h"

namespace tesselaudio {
namespace {

class PieceVocabularyTest : public testing::Test {
 protected:
  std::filesystem::path write(const std::string& text) {
    const auto file = folder_ / "vocab.json";
    std::ofstream(file, std::ios::trunc) << text;
    return file;
  }

  testsupport::TemporaryFolder folder_;
};

TEST_F(PieceVocabularyTest, ReadsAnArrayOrAnObjectOfIds) {
  struct Case {
    const char* name;
    const char* json;
    std::map<int, std::string> vocabulary;
  };
  const Case cases[] = {
      {"ArrayByPosition", R"(["<blank>", "<s>", "\u4e00"])", {{0, "<blank>"}, {1, "<s>"}, {2, "\u4e00"}}},
      {"ObjectSkipsKeysThatAreNoIds", R"({"0": "a", "1": "b", "x": "c"})", {{0, "a"}, {1, "b"}}},
      {"ObjectWithGaps", R"({"7": "g", "3": "c"})", {{3, "c"}, {7, "g"}}},
      {"EmptyArray", "[]", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(PieceVocabulary::load(write(c.json)), c.vocabulary);
  }
}

TEST_F(PieceVocabularyTest, OtherShapesAreRefused) {
  const char* shapes[] = {"not json", R"(["a", 1])", R"({"0": 1})", R"("a")", "42", R"([["a"]])", R"({"0": ["a"]})", ""};
  for (const char* json : shapes) {
    SCOPED_TRACE(json);
    EXPECT_EQ(testsupport::thrownDescription<ASRError>([&] { PieceVocabulary::load(write(json)); }),
              "ASR processing failed: Failed to parse vocab.json (expected array or dict)");
  }
}

TEST_F(PieceVocabularyTest, MissingFileGivesTheReadError) {
  EXPECT_THROW(PieceVocabulary::load(folder_ / "vocab.json"), platform::FileError);
}

}  // namespace
}  // namespace tesselaudio
