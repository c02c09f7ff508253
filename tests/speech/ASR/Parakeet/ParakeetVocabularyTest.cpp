#include "speech/ASR/Parakeet/ParakeetVocabulary.h"

#include <map>
#include <optional>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace tesselaudio {
namespace {

using Vocabulary = std::map<int, std::string>;

TEST(ParakeetVocabularyTest, ReadsArraysAndObjectsOfStrings) {
  struct Case {
    const char* name;
    const char* json;
    std::optional<Vocabulary> expected;
  };
  const Case cases[] = {
      {"array", R"(["a", "b"])", Vocabulary{{0, "a"}, {1, "b"}}},
      {"escapes", R"(["\u2581the", "a\"b", "\\"])", Vocabulary{{0, "\u2581the"}, {1, "a\"b"}, {2, "\\"}}},
      {"emptyArray", "[]", Vocabulary{}},
      {"emptyObject", "{}", Vocabulary{}},
      {"objectKeys", R"({"0": "a", "x": "b", "+2": "c", "-5": "d"})", Vocabulary{{-5, "d"}, {0, "a"}, {2, "c"}}},
      {"skippedKeys", R"({"": "a", "1.5": "b", " 3": "c", "+-4": "d", "99999999999": "e", "6x": "f", "0x7": "g"})",
       Vocabulary{}},
      {"topLevelString", R"("tokens")", std::nullopt},
      {"topLevelNumber", "42", std::nullopt},
      {"topLevelNull", "null", std::nullopt},
      {"arrayWithANumber", R"(["a", 1])", std::nullopt},
      {"arrayWithAnArray", R"(["a", ["b"]])", std::nullopt},
      {"objectWithAnObject", R"({"0": "a", "1": {"x": "y"}})", std::nullopt},
      {"objectWithANumber", R"({"0": "a", "x": 1})", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ParakeetVocabulary::fromJson(c.json), c.expected);
  }
}

TEST(ParakeetVocabularyTest, KeysOfOneIdKeepOnePiece) {
  const auto vocabulary = ParakeetVocabulary::fromJson(R"({"7": "a", "07": "b", "+7": "c"})");
  ASSERT_TRUE(vocabulary);
  ASSERT_EQ(vocabulary->size(), 1u);
  EXPECT_EQ(vocabulary->begin()->first, 7);
}

TEST(ParakeetVocabularyTest, TextThatIsNoJsonThrows) {
  for (const char* json : {"", "[\"a\", ", "[1, 2", "[\"a\"] trailing", "{\"0\": }", "[\"\xff\"]"}) {
    SCOPED_TRACE(json);
    EXPECT_THROW(ParakeetVocabulary::fromJson(json), nlohmann::json::exception);
  }
}

}  // namespace
}  // namespace tesselaudio
