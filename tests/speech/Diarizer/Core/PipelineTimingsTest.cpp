#include "speech/Diarizer/Core/PipelineTimings.h"

#include <limits>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/sys/JsonCodingError.h"

namespace tesselaudio {
namespace {

const char* const kKeys[] = {
    "modelCompilationSeconds", "audioLoadingSeconds",      "segmentationSeconds",
    "embeddingExtractionSeconds", "speakerClusteringSeconds", "postProcessingSeconds",
    "totalInferenceSeconds",   "totalProcessingSeconds",
};

TEST(PipelineTimingsTest, TotalsSharesAndBottleneck) {
  const PipelineTimings timings(1, 0, 2, 3, 4, 0);
  EXPECT_DOUBLE_EQ(timings.totalInferenceSeconds, 9);
  EXPECT_DOUBLE_EQ(timings.totalProcessingSeconds, 10);

  const auto shares = timings.stagePercentages();
  ASSERT_EQ(shares.size(), 6u);
  EXPECT_DOUBLE_EQ(shares.at("Model Compilation"), 10);
  EXPECT_DOUBLE_EQ(shares.at("Audio Loading"), 0);
  EXPECT_DOUBLE_EQ(shares.at("Segmentation"), 20);
  EXPECT_DOUBLE_EQ(shares.at("Embedding Extraction"), 30);
  EXPECT_DOUBLE_EQ(shares.at("Speaker Clustering"), 40);
  EXPECT_DOUBLE_EQ(shares.at("Post Processing"), 0);
  EXPECT_EQ(timings.bottleneckStage(), "Speaker Clustering");
}

TEST(PipelineTimingsTest, BottleneckPrefersTheEarlierStageOnTies) {
  struct Case {
    const char* name;
    PipelineTimings timings;
    const char* bottleneck;
  };
  const Case cases[] = {
      {"all zero", PipelineTimings(0, 0, 0, 0, 0, 0), "Model Compilation"},
      {"segmentation ties embedding", PipelineTimings(1, 0.5, 3, 3, 2, 1), "Segmentation"},
      {"post-processing alone largest", PipelineTimings(1, 1, 1, 1, 1, 1.5), "Post Processing"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.timings.bottleneckStage(), c.bottleneck);
  }
}

TEST(PipelineTimingsTest, NoPositiveTotalGivesNoShares) {
  EXPECT_TRUE(PipelineTimings(0, 0, 0, 0, 0, 0).stagePercentages().empty());
  EXPECT_TRUE(PipelineTimings().stagePercentages().empty());
  PipelineTimings notANumber;
  notANumber.totalProcessingSeconds = std::numeric_limits<double>::quiet_NaN();
  EXPECT_TRUE(notANumber.stagePercentages().empty());
}

TEST(PipelineTimingsTest, EncodesEightKeysInFieldOrderAndDecodesThem) {
  const PipelineTimings timings(1.25, 0.5, 2, 3, 4, 0.75);
  const nlohmann::ordered_json json = timings.toJson();
  ASSERT_EQ(json.size(), 8u);
  std::size_t i = 0;
  for (const auto& item : json.items()) EXPECT_EQ(item.key(), kKeys[i++]);
  EXPECT_DOUBLE_EQ(json["totalProcessingSeconds"].get<double>(), 11.5);
  EXPECT_EQ(PipelineTimings::fromJson(nlohmann::json::parse(json.dump())), timings);
}

TEST(PipelineTimingsTest, DecodingKeepsStoredTotals) {
  nlohmann::json json = PipelineTimings(1, 0, 2, 3, 4, 0).toJson();
  json["totalInferenceSeconds"] = 100;
  json["totalProcessingSeconds"] = 200;
  const PipelineTimings decoded = PipelineTimings::fromJson(json);
  EXPECT_DOUBLE_EQ(decoded.speakerClusteringSeconds, 4);
  EXPECT_DOUBLE_EQ(decoded.totalInferenceSeconds, 100);
  EXPECT_DOUBLE_EQ(decoded.totalProcessingSeconds, 200);
  EXPECT_DOUBLE_EQ(decoded.stagePercentages().at("Speaker Clustering"), 2);
}

TEST(PipelineTimingsTest, DecodingRequiresEveryKey) {
  const nlohmann::json complete = PipelineTimings(1, 0, 2, 3, 4, 0).toJson();
  for (const char* key : kKeys) {
    SCOPED_TRACE(key);
    nlohmann::json json = complete;
    json.erase(key);
    EXPECT_THROW(PipelineTimings::fromJson(json), platform::JsonCodingError);
  }
  nlohmann::json text = complete;
  text["segmentationSeconds"] = "2";
  EXPECT_THROW(PipelineTimings::fromJson(text), platform::JsonCodingError);
  EXPECT_THROW(PipelineTimings::fromJson(nlohmann::json::array()), platform::JsonCodingError);
}

}  // namespace
}  // namespace tesselaudio
