#include "speech/ASR/Parakeet/ASRResult.h"

#include <cmath>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/sys/JsonCodingError.h"

namespace tesselaudio {
namespace {

ASRResult bare() { return {"こんにちは", 0.9f, 2.0, 0.5, {}, {}, {}, {}, {}}; }

ASRResult full() {
  ASRResult r = bare();
  r.tokenTimings = std::vector<TokenTiming>{{" hello", 42, 0.0, 0.08, 0.95f}, {"!", 7956, 0.08, 0.16, 0.5f}};
  r.performanceMetrics = ASRPerformanceMetrics{0.1, 0.2, 0.3, 0.6, 3.5f, 100.0f, 50.0f};
  r.ctcDetectedTerms = std::vector<std::string>{"Velto"};
  r.ctcAppliedTerms = std::vector<std::string>{};
  r.ctcReplacements = std::vector<RescoringResult>{
      {"belt", -3.5f, "Velto", -1.25f, true, "boosted"}, {"the", -0.5f, std::nullopt, std::nullopt, false, "kept"}};
  return r;
}

TEST(ASRResultTest, BareResultWritesFourKeys) {
  const nlohmann::json json = bare().toJson();
  EXPECT_EQ(json.size(), 4u);
  for (const char* key : {"text", "confidence", "duration", "processingTime"}) {
    EXPECT_TRUE(json.contains(key)) << key;
  }
  EXPECT_EQ(ASRResult::fromJson(json), bare());
}

TEST(ASRResultTest, FullResultRoundTrips) {
  const nlohmann::json json = full().toJson();
  EXPECT_EQ(json["ctcAppliedTerms"], nlohmann::json::array());
  EXPECT_FALSE(json["ctcReplacements"][1].contains("replacementWord"));
  EXPECT_FALSE(json["ctcReplacements"][1].contains("replacementScore"));
  EXPECT_FALSE(json["performanceMetrics"].is_null());
  EXPECT_EQ(ASRResult::fromJson(nlohmann::json::parse(json.dump())), full());
}

TEST(ASRResultTest, ReadingOptionalAndRequiredKeys) {
  nlohmann::json json = bare().toJson();
  json["tokenTimings"] = nullptr;
  json["unknown"] = 1;
  EXPECT_EQ(ASRResult::fromJson(json).tokenTimings, std::nullopt);

  struct Case {
    const char* name;
    void (*damage)(nlohmann::json&);
    platform::JsonCodingError::Case error;
  };
  const Case cases[] = {
      {"no duration", [](nlohmann::json& j) { j.erase("duration"); }, platform::JsonCodingError::Case::keyNotFound},
      {"text as number", [](nlohmann::json& j) { j["text"] = 3; }, platform::JsonCodingError::Case::typeMismatch},
      {"timing without id", [](nlohmann::json& j) { j["tokenTimings"][0].erase("tokenId"); },
       platform::JsonCodingError::Case::keyNotFound},
      {"fractional id", [](nlohmann::json& j) { j["tokenTimings"][0]["tokenId"] = 1.5; },
       platform::JsonCodingError::Case::invalidValue},
      {"timings not a list", [](nlohmann::json& j) { j["tokenTimings"] = "x"; },
       platform::JsonCodingError::Case::typeMismatch},
      {"replacement without reason", [](nlohmann::json& j) { j["ctcReplacements"][0].erase("reason"); },
       platform::JsonCodingError::Case::keyNotFound},
      {"metrics without total", [](nlohmann::json& j) { j["performanceMetrics"].erase("totalProcessingTime"); },
       platform::JsonCodingError::Case::keyNotFound},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    nlohmann::json damaged = full().toJson();
    c.damage(damaged);
    try {
      ASRResult::fromJson(damaged);
      ADD_FAILURE() << "decoded";
    } catch (const platform::JsonCodingError& e) {
      EXPECT_EQ(e.errorCase(), c.error);
    }
  }
}

TEST(ASRResultTest, RealTimeFactorIsUnguarded) {
  ASRResult r = bare();
  EXPECT_EQ(r.rtfx(), 4.0f);
  r.processingTime = 0;
  EXPECT_TRUE(std::isinf(r.rtfx()));
  r.duration = 0;
  EXPECT_TRUE(std::isnan(r.rtfx()));
}

TEST(ASRResultTest, WithRescoringReplacesTextAndTheThreeLists) {
  const ASRResult original = full();
  const ASRResult rescored = original.withRescoring("Velto", std::vector<std::string>{"a"}, std::nullopt, std::nullopt);
  EXPECT_EQ(rescored.text, "Velto");
  EXPECT_EQ(rescored.ctcDetectedTerms, std::vector<std::string>{"a"});
  EXPECT_EQ(rescored.ctcAppliedTerms, std::nullopt);
  EXPECT_EQ(rescored.ctcReplacements, std::nullopt);
  EXPECT_EQ(rescored.confidence, original.confidence);
  EXPECT_EQ(rescored.tokenTimings, original.tokenTimings);
  EXPECT_EQ(rescored.performanceMetrics, original.performanceMetrics);
  EXPECT_EQ(rescored.duration, original.duration);
  EXPECT_EQ(rescored.processingTime, original.processingTime);
}

TEST(ASRResultTest, NonFiniteNumbersAreNotWritten) {
  ASRResult r = bare();
  r.processingTime = std::nan("");
  EXPECT_THROW(r.toJson(), platform::JsonCodingError);
}

}  // namespace
}  // namespace tesselaudio
