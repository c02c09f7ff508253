#include "speech/ASR/Parakeet/SlidingWindow/CustomVocabulary/CustomVocabularyTerm.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/sys/JsonCodingError.h"
#include "speech/ASR/Parakeet/SlidingWindow/CustomVocabulary/CustomVocabularyConfig.h"

namespace tesselaudio {
namespace {

using Json = nlohmann::json;

TEST(CustomVocabularyTermTest, KeepsLowerCaseTextAndClampsTheSimilarity) {
  const struct {
    const char* name;
    std::optional<float> given;
    std::optional<float> kept;
  } cases[] = {
      {"absent", std::nullopt, std::nullopt},
      {"inside", 0.7f, 0.7f},
      {"above", 1.7f, 1.0f},
      {"below", -0.2f, 0.0f},
      {"not a number", std::numeric_limits<float>::quiet_NaN(), 0.0f},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const CustomVocabularyTerm term("ÄRGER Straße", 2.0f, std::nullopt, std::nullopt, std::nullopt, c.given);
    EXPECT_EQ(term.minSimilarity, c.kept);
    EXPECT_EQ(term.textLowercased, "ärger straße");
    EXPECT_EQ(term.weight, 2.0f);  // weights are not clamped
  }
}

TEST(CustomVocabularyTermTest, JsonLeavesAbsentKeysOutAndNeverWritesTheLowerCaseText) {
  EXPECT_EQ(CustomVocabularyTerm("Tessel").toJson(), Json::parse(R"({"text": "Tessel"})"));

  const CustomVocabularyTerm full("Tessel", 12.5f, std::vector<std::string>{"tesla"}, std::vector<std::int64_t>{4, 5},
                                  std::vector<std::int64_t>{-1, 9}, 0.25f);
  const Json written = full.toJson();
  EXPECT_EQ(written, Json::parse(R"({"text": "Tessel", "weight": 12.5, "aliases": ["tesla"], "tokenIds": [4, 5],
                                     "ctcTokenIds": [-1, 9], "minSimilarity": 0.25})"));
  EXPECT_EQ(CustomVocabularyTerm::fromJson(written), full);
}

TEST(CustomVocabularyTermTest, ReadingIgnoresUnknownKeysAndTheLowerCaseText) {
  const auto term = CustomVocabularyTerm::fromJson(
      Json::parse(R"({"text": "Tessel", "textLowercased": "wrong", "Weight": 3, "weight": null, "extra": [1]})"));
  EXPECT_EQ(term, CustomVocabularyTerm("Tessel"));
  EXPECT_EQ(term.textLowercased, "tessel");
}

TEST(CustomVocabularyTermTest, ConfigJsonLeavesAbsentKeysOut) {
  CustomVocabularyConfig config;
  config.terms = {CustomVocabularyTerm("A")};
  EXPECT_EQ(config.toJson(), Json::parse(R"({"terms": [{"text": "A"}]})"));

  config.alpha = 0.25f;
  config.minCtcScore = -8.0f;
  config.minSimilarity = 0.5f;
  config.minCombinedConfidence = 0.75f;
  config.minTermLength = 4;
  const Json written = config.toJson();
  EXPECT_EQ(written, Json::parse(R"({"alpha": 0.25, "terms": [{"text": "A"}], "minCtcScore": -8.0,
                                     "minSimilarity": 0.5, "minCombinedConfidence": 0.75, "minTermLength": 4})"));
  EXPECT_EQ(CustomVocabularyConfig::fromJson(written), config);
}

TEST(CustomVocabularyTermTest, NonFiniteNumbersAreNotWritten) {
  const CustomVocabularyTerm term("A", std::numeric_limits<float>::infinity());
  EXPECT_THROW(term.toJson(), platform::JsonCodingError);
}

}  // namespace
}  // namespace tesselaudio
