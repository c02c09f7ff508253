#include "speech/Shared/ASRPerformanceMetrics.h"

#include <clocale>
#include <limits>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/sys/JsonCodingError.h"

namespace tesselaudio {
namespace {

ASRPerformanceMetrics sample() {
  return {0.0125, 0.25, 0.0625, 0.5, 123.456f, 512.25f, std::nullopt};
}

TEST(ASRPerformanceMetricsTest, SummaryLines) {
  ASRPerformanceMetrics m = sample();
  EXPECT_EQ(m.summary(),
            "Performance Metrics:\n"
            "- Preprocessor: 0.013s\n"
            "- Encoder: 0.250s\n"
            "- Decoder: 0.062s\n"
            "- Total: 0.500s\n"
            "- RTFx: 123.5x real-time\n"
            "- Peak Memory: 512.2 MB\n"
            "- GPU Utilization: N/A");
  m.gpuUtilization = 37.25f;
  EXPECT_TRUE(m.summary().ends_with("\n- GPU Utilization: 37.2%")) << m.summary();
}

TEST(ASRPerformanceMetricsTest, SummaryIgnoresTheProcessLocale) {
  // Qt sets the process locale from the environment; a decimal comma must never appear.
  const char* previous = std::setlocale(LC_ALL, nullptr);
  const std::string saved = previous ? previous : "C";
  if (!std::setlocale(LC_ALL, "de_DE.UTF-8")) GTEST_SKIP() << "no German locale installed";
  const std::string text = sample().summary();
  std::setlocale(LC_ALL, saved.c_str());
  EXPECT_NE(text.find("Total: 0.500s"), std::string::npos) << text;
}

TEST(ASRPerformanceMetricsTest, JsonKeysAndRoundTrip) {
  ASRPerformanceMetrics m = sample();
  nlohmann::json json = m.toJson();
  EXPECT_FALSE(json.contains("gpuUtilization"));
  EXPECT_EQ(json.size(), 6u);
  EXPECT_EQ(json["rtfx"].get<double>(), 123.456);
  EXPECT_EQ(ASRPerformanceMetrics::fromJson(json), m);

  m.gpuUtilization = 12.5f;
  json = m.toJson();
  EXPECT_EQ(json["gpuUtilization"], 12.5);
  EXPECT_EQ(ASRPerformanceMetrics::fromJson(json), m);

  json["gpuUtilization"] = nullptr;
  EXPECT_EQ(ASRPerformanceMetrics::fromJson(json).gpuUtilization, std::nullopt);
}

TEST(ASRPerformanceMetricsTest, BadJsonGivesCodingErrors) {
  struct Case {
    const char* name;
    nlohmann::json json;
    platform::JsonCodingError::Case error;
  };
  nlohmann::json noEncoder = sample().toJson();
  noEncoder.erase("encoderTime");
  nlohmann::json textRtfx = sample().toJson();
  textRtfx["rtfx"] = "fast";
  nlohmann::json nullDecoder = sample().toJson();
  nullDecoder["decoderTime"] = nullptr;
  nlohmann::json hugeMemory = sample().toJson();
  hugeMemory["peakMemoryMB"] = 1e300;
  const Case cases[] = {
      {"missing key", noEncoder, platform::JsonCodingError::Case::keyNotFound},
      {"null required key", nullDecoder, platform::JsonCodingError::Case::keyNotFound},
      {"text for a number", textRtfx, platform::JsonCodingError::Case::typeMismatch},
      {"beyond a float", hugeMemory, platform::JsonCodingError::Case::typeMismatch},
      {"not an object", nlohmann::json::array(), platform::JsonCodingError::Case::dataCorrupted},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      ASRPerformanceMetrics::fromJson(c.json);
      ADD_FAILURE() << "decoded";
    } catch (const platform::JsonCodingError& e) {
      EXPECT_EQ(e.errorCase(), c.error);
    }
  }

  ASRPerformanceMetrics infinite = sample();
  infinite.rtfx = std::numeric_limits<float>::infinity();
  EXPECT_THROW(infinite.toJson(), platform::JsonCodingError);
}

}  // namespace
}  // namespace tesselaudio
