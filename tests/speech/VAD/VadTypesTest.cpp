#include <cmath>
#include <functional>
#include <limits>
#include <optional>

#include <gtest/gtest.h>

#include "platform/sys/InvalidArgumentError.h"
#include "speech/VAD/VadConfig.h"
#include "speech/VAD/VadError.h"
#include "speech/VAD/VadSegment.h"
#include "speech/VAD/VadSegmentationConfig.h"
#include "speech/VAD/VadState.h"
#include "speech/VAD/VadStreamState.h"

namespace tesselaudio {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The value built through the checking initialiser from `fields` (a value whose fields were set
// directly, unchecked).
VadSegmentationConfig make(const VadSegmentationConfig& fields) {
  return VadSegmentationConfig(fields.minSpeechDuration, fields.minSilenceDuration, fields.maxSpeechDuration,
                               fields.speechPadding, fields.silenceThresholdForSplit, fields.negativeThreshold,
                               fields.negativeThresholdOffset, fields.minSilenceAtMaxSpeech,
                               fields.useMaxPossibleSilenceAtMaxSpeech);
}

TEST(VadSegmentationConfigTest, DefaultEqualsTheInitialiserWithTheTableValues) {
  const auto& config = VadSegmentationConfig::default_();
  EXPECT_EQ(config, VadSegmentationConfig(0.15, 0.75, 14.0, 0.1, 0.3f, std::nullopt, 0.15f, 0.098, true));
  EXPECT_EQ(config.minSpeechDuration, 0.15);
  EXPECT_EQ(config.minSilenceDuration, 0.75);
  EXPECT_EQ(config.maxSpeechDuration, 14.0);
  EXPECT_EQ(config.speechPadding, 0.1);
  EXPECT_EQ(config.silenceThresholdForSplit, 0.3f);
  EXPECT_FALSE(config.negativeThreshold);
  EXPECT_EQ(config.negativeThresholdOffset, 0.15f);
  EXPECT_EQ(config.minSilenceAtMaxSpeech, 0.098);
  EXPECT_TRUE(config.useMaxPossibleSilenceAtMaxSpeech);
  EXPECT_EQ(VadSegmentationConfig(), config);

  const auto& detector = VadConfig::default_();
  EXPECT_EQ(detector.defaultThreshold, 0.85f);
  EXPECT_FALSE(detector.debugMode);
  EXPECT_EQ(detector.computeUnits, platform::MLComputeUnits::cpuAndNeuralEngine);
}

TEST(VadSegmentationConfigTest, DerivesTheThresholdPair) {
  struct Case {
    const char* name;
    std::optional<float> negativeThreshold;
    float base;
    float silence;
    float speech;
  };
  const Case cases[] = {
      {"defaults", std::nullopt, 0.85f, 0.70f, 0.85f},
      {"low base raised to 0.01", std::nullopt, 0.1f, 0.01f, 0.1f},
      {"explicit silence threshold", 0.4f, 0.85f, 0.4f, 0.55f},
      {"explicit silence threshold ignores the base", 0.4f, 0.1f, 0.4f, 0.55f},
      {"speech threshold lowered to 1", 0.9f, 0.85f, 0.9f, 1.0f},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    VadSegmentationConfig config;
    config.negativeThreshold = c.negativeThreshold;
    EXPECT_NEAR(config.effectiveNegativeThreshold(c.base), c.silence, 1e-6);
    EXPECT_NEAR(config.speechThreshold(c.base), c.speech, 1e-6);
  }
}

TEST(VadSegmentationConfigTest, DurationsBecomeTruncatedSamples) {
  EXPECT_EQ(VadSegmentationConfig::samples(0.75), 12000);
  EXPECT_EQ(VadSegmentationConfig::samples(0.098), 1568);
  EXPECT_EQ(VadSegmentationConfig::samples(0.1), 1600);
  EXPECT_EQ(VadSegmentationConfig::samples(1e300), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(VadSegmentationConfig::samples(kNaN), 0);
}

TEST(VadSegmentationConfigTest, InitialiserRefusesValuesOutOfRangeNamingTheField) {
  struct Case {
    const char* name;
    std::function<void(VadSegmentationConfig&)> change;
    const char* field;
  };
  const Case cases[] = {
      {"NaN minimum speech", [](VadSegmentationConfig& a) { a.minSpeechDuration = kNaN; }, "minSpeechDuration"},
      {"negative minimum speech", [](VadSegmentationConfig& a) { a.minSpeechDuration = -0.1; }, "minSpeechDuration"},
      {"infinite minimum speech", [](VadSegmentationConfig& a) { a.minSpeechDuration = kInfinity; }, "minSpeechDuration"},
      {"NaN minimum silence", [](VadSegmentationConfig& a) { a.minSilenceDuration = kNaN; }, "minSilenceDuration"},
      {"negative minimum silence", [](VadSegmentationConfig& a) { a.minSilenceDuration = -1; }, "minSilenceDuration"},
      {"infinite minimum silence", [](VadSegmentationConfig& a) { a.minSilenceDuration = kInfinity; }, "minSilenceDuration"},
      {"NaN maximum speech", [](VadSegmentationConfig& a) { a.maxSpeechDuration = kNaN; }, "maxSpeechDuration"},
      {"zero maximum speech", [](VadSegmentationConfig& a) { a.maxSpeechDuration = 0; }, "maxSpeechDuration"},
      {"negative maximum speech", [](VadSegmentationConfig& a) { a.maxSpeechDuration = -5; }, "maxSpeechDuration"},
      {"minus infinite maximum speech", [](VadSegmentationConfig& a) { a.maxSpeechDuration = -kInfinity; }, "maxSpeechDuration"},
      {"NaN padding", [](VadSegmentationConfig& a) { a.speechPadding = kNaN; }, "speechPadding"},
      {"negative padding", [](VadSegmentationConfig& a) { a.speechPadding = -0.01; }, "speechPadding"},
      {"infinite padding", [](VadSegmentationConfig& a) { a.speechPadding = kInfinity; }, "speechPadding"},
      {"NaN split threshold", [](VadSegmentationConfig& a) { a.silenceThresholdForSplit = NAN; }, "silenceThresholdForSplit"},
      {"split threshold below 0", [](VadSegmentationConfig& a) { a.silenceThresholdForSplit = -0.1f; }, "silenceThresholdForSplit"},
      {"split threshold above 1", [](VadSegmentationConfig& a) { a.silenceThresholdForSplit = 1.1f; }, "silenceThresholdForSplit"},
      {"NaN negative threshold", [](VadSegmentationConfig& a) { a.negativeThreshold = NAN; }, "negativeThreshold"},
      {"negative threshold below 0", [](VadSegmentationConfig& a) { a.negativeThreshold = -0.5f; }, "negativeThreshold"},
      {"negative threshold above 1", [](VadSegmentationConfig& a) { a.negativeThreshold = 1.5f; }, "negativeThreshold"},
      {"NaN offset", [](VadSegmentationConfig& a) { a.negativeThresholdOffset = NAN; }, "negativeThresholdOffset"},
      {"negative offset", [](VadSegmentationConfig& a) { a.negativeThresholdOffset = -0.01f; }, "negativeThresholdOffset"},
      {"NaN split pause", [](VadSegmentationConfig& a) { a.minSilenceAtMaxSpeech = kNaN; }, "minSilenceAtMaxSpeech"},
      {"negative split pause", [](VadSegmentationConfig& a) { a.minSilenceAtMaxSpeech = -1; }, "minSilenceAtMaxSpeech"},
      {"infinite split pause", [](VadSegmentationConfig& a) { a.minSilenceAtMaxSpeech = kInfinity; }, "minSilenceAtMaxSpeech"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    VadSegmentationConfig fields;
    c.change(fields);
    try {
      make(fields);
      ADD_FAILURE() << "accepted";
    } catch (const platform::InvalidArgumentError& error) {
      EXPECT_EQ(error.parameter(), c.field);
      EXPECT_EQ(error.description().rfind(std::string("Invalid ") + c.field + ": ", 0), 0u) << error.description();
    }
  }
}

TEST(VadSegmentationConfigTest, InitialiserAcceptsTheEdgesOfItsRanges) {
  VadSegmentationConfig open;
  open.maxSpeechDuration = kInfinity;
  EXPECT_TRUE(std::isinf(make(open).maxSpeechDuration));

  VadSegmentationConfig zeros;
  zeros.minSpeechDuration = 0;
  zeros.minSilenceDuration = 0;
  zeros.speechPadding = 0;
  zeros.minSilenceAtMaxSpeech = 0;
  zeros.silenceThresholdForSplit = 0;
  zeros.negativeThreshold = 1.0f;
  zeros.negativeThresholdOffset = 0;
  const auto config = make(zeros);
  EXPECT_EQ(config.minSpeechDuration, 0);
  EXPECT_EQ(config.negativeThreshold, 1.0f);

  VadSegmentationConfig largeOffset;
  largeOffset.negativeThresholdOffset = 1e30f;
  EXPECT_EQ(make(largeOffset).negativeThresholdOffset, 1e30f);
}

TEST(VadSegmentTest, ConvertsSecondsToSamples) {
  const VadSegment segment{1.25, 2.0};
  EXPECT_EQ(segment.startSample(16000), 20000);
  EXPECT_EQ(segment.endSample(16000), 32000);
  EXPECT_EQ(segment.sampleCount(16000), 12000);
  EXPECT_DOUBLE_EQ(segment.duration(), 0.75);
  // Each end truncated on its own.
  const VadSegment uneven{0.00009, 0.00016};
  EXPECT_EQ(uneven.startSample(16000), 1);
  EXPECT_EQ(uneven.endSample(16000), 2);
  EXPECT_EQ(uneven.sampleCount(16000), 1);
}

TEST(VadStateTest, InitialStatesAreZero) {
  const auto state = VadState::initial();
  EXPECT_EQ(state.hiddenState, std::vector<float>(128, 0.0f));
  EXPECT_EQ(state.cellState, std::vector<float>(128, 0.0f));
  EXPECT_EQ(state.context, std::vector<float>(64, 0.0f));
  EXPECT_EQ(VadState::contextLength, 64);

  const auto stream = VadStreamState::initial();
  EXPECT_EQ(stream.modelState, state);
  EXPECT_FALSE(stream.triggered);
  EXPECT_FALSE(stream.tempEndSample);
  EXPECT_EQ(stream.processedSamples, 0);
  EXPECT_EQ((VadStreamState{state, true, 12, 40}).tempEndChunkLength, 0);
}

TEST(VadErrorTest, DescriptionsAndCodes) {
  EXPECT_EQ(VadError::modelProcessingFailed("No VAD output").description(), "Model processing failed: No VAD output");
  EXPECT_EQ(VadError::notInitialized().description(), "VAD system not initialized");
  EXPECT_EQ(VadError::modelLoadingFailed().description(), "Failed to load VAD model");
  EXPECT_EQ(VadError::notInitialized().errorCode(), VadError::Code::notInitialized);
  EXPECT_EQ(VadError::modelLoadingFailed().typeName(), "VadError");
}

}  // namespace
}  // namespace tesselaudio
