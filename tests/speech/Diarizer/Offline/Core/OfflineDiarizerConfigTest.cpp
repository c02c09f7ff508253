#include "speech/Diarizer/Offline/Core/OfflineDiarizerConfig.h"

#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "speech/Diarizer/Offline/Core/OfflineDiarizationError.h"

namespace tesselaudio {
namespace {

using Code = OfflineDiarizationError::Code;
using Config = OfflineDiarizerConfig;

TEST(OfflineDiarizerConfigTest, DefaultIsTheCommunityPresets) {
  const auto config = Config::default_();
  EXPECT_EQ(config.segmentation.windowDurationSeconds, 10.0);
  EXPECT_EQ(config.segmentation.sampleRate, 16000);
  EXPECT_EQ(config.segmentation.minDurationOn, 0.0);
  EXPECT_EQ(config.segmentation.minDurationOff, 0.0);
  EXPECT_EQ(config.segmentation.stepRatio, 0.2);
  EXPECT_EQ(config.segmentation.speechOnsetThreshold, 0.5f);
  EXPECT_EQ(config.segmentation.speechOffsetThreshold, 0.5f);
  EXPECT_EQ(config.segmentation.batchSize, 32);
  EXPECT_EQ(config.embedding.batchSize, 32);
  EXPECT_TRUE(config.embedding.excludeOverlap);
  EXPECT_EQ(config.embedding.minSegmentDurationSeconds, 1.0);
  EXPECT_EQ(config.embedding.skipStrategy, Config::EmbeddingSkipStrategy::none());
  EXPECT_EQ(config.clustering.threshold, 0.6);
  EXPECT_EQ(config.clustering.warmStartFa, 0.07);
  EXPECT_EQ(config.clustering.warmStartFb, 0.8);
  EXPECT_EQ(config.clustering.minSpeakers, std::nullopt);
  EXPECT_EQ(config.clustering.maxSpeakers, std::nullopt);
  EXPECT_EQ(config.clustering.numSpeakers, std::nullopt);
  EXPECT_TRUE(config.clustering.constrainedAssignment);
  EXPECT_EQ(config.vbx.maxIterations, 20);
  EXPECT_EQ(config.vbx.convergenceTolerance, 1e-4);
  EXPECT_EQ(config.postProcessing.minGapDurationSeconds, 0.1);
  EXPECT_FALSE(config.postProcessing.exclusiveSegments);
  EXPECT_FALSE(config.zeroVoteReembed.enabled);
  EXPECT_EQ(config.zeroVoteReembed.minDurationSeconds, 0.4);
  EXPECT_EQ(config.export_.embeddingsPath, std::nullopt);
  EXPECT_FALSE(config.exposeChunkEmbeddings);

  EXPECT_EQ(config, Config(Config::Segmentation::community(), Config::Embedding::community(),
                           Config::Clustering::community(), Config::VBx::community(),
                           Config::PostProcessing::community(), Config::ZeroVoteReembed::disabled(),
                           Config::Export::none(), false));
  EXPECT_NO_THROW(config.validate());
}

TEST(OfflineDiarizerConfigTest, WindowAndStepInSamples) {
  struct Case {
    const char* name;
    double window;
    std::int64_t rate;
    double stepRatio;
    std::int64_t samplesPerWindow;
    std::int64_t samplesPerStep;
  };
  const Case cases[] = {
      {"default", 10.0, 16000, 0.2, 160000, 32000},
      {"halfSecond", 0.5, 16000, 0.2, 8000, 1600},
      {"tinyStepRaisedToOne", 10.0, 16000, 0.000001, 160000, 1},
      {"truncatedTowardZero", 0.00011, 16000, 0.5, 1, 1},
      {"noOverlap", 10.0, 16000, 1.0, 160000, 160000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Config config;
    config.segmentation.windowDurationSeconds = c.window;
    config.segmentation.sampleRate = c.rate;
    config.segmentation.stepRatio = c.stepRatio;
    EXPECT_EQ(config.samplesPerWindow(), c.samplesPerWindow);
    EXPECT_EQ(config.samplesPerStep(), c.samplesPerStep);
  }
}

TEST(OfflineDiarizerConfigTest, SamplesOfWindowsOutsideTheRangeStayDefined) {
  Config config;
  config.segmentation.windowDurationSeconds = std::numeric_limits<double>::infinity();
  EXPECT_EQ(config.samplesPerWindow(), std::numeric_limits<std::int64_t>::max());
  config.segmentation.windowDurationSeconds = std::nan("");
  EXPECT_EQ(config.samplesPerWindow(), 0);
  EXPECT_EQ(config.samplesPerStep(), 1);
}

struct ValidationCase {
  const char* name;
  std::function<void(Config&)> change;
  // Empty: the configuration passes.
  std::string description;
  Code code = Code::invalidConfiguration;
};

class OfflineDiarizerConfigValidationTest : public testing::TestWithParam<ValidationCase> {};

TEST_P(OfflineDiarizerConfigValidationTest, ChecksInOrderWithExactTexts) {
  const auto& c = GetParam();
  Config config;
  c.change(config);
  if (c.description.empty()) {
    EXPECT_NO_THROW(config.validate());
    return;
  }
  try {
    config.validate();
    FAIL() << "validate() passed";
  } catch (const OfflineDiarizationError& error) {
    EXPECT_EQ(error.description(), c.description);
    EXPECT_EQ(error.errorCode(), c.code);
  }
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const float kNaNf = std::numeric_limits<float>::quiet_NaN();
const Code kBatch = Code::invalidBatchSize;

const ValidationCase kValidationCases[] = {
    {"thresholdTwoPasses", [](Config& c) { c.clustering.threshold = 2.0; }, ""},
    {"thresholdAboveTwo", [](Config& c) { c.clustering.threshold = 2.0000001; },
     "Invalid configuration: clustering.threshold must be within (0, 2], got 2.0000001"},
    {"thresholdZero", [](Config& c) { c.clustering.threshold = 0; },
     "Invalid configuration: clustering.threshold must be within (0, 2], got 0.0"},
    {"thresholdNaN", [](Config& c) { c.clustering.threshold = kNaN; },
     "Invalid configuration: clustering.threshold must be within (0, 2], got nan"},
    {"faZero", [](Config& c) { c.clustering.warmStartFa = 0; },
     "Invalid configuration: clustering warm-start Fa/Fb must be positive (Fa=0.0, Fb=0.8)"},
    {"fbNaN", [](Config& c) { c.clustering.warmStartFb = kNaN; },
     "Invalid configuration: clustering warm-start Fa/Fb must be positive (Fa=0.07, Fb=nan)"},
    {"windowZero", [](Config& c) { c.segmentation.windowDurationSeconds = 0; },
     "Invalid configuration: segmentation.windowDurationSeconds must be positive, got 0.0"},
    {"sampleRateZero", [](Config& c) { c.segmentation.sampleRate = 0; },
     "Invalid configuration: sampleRate must be positive"},
    {"stepRatioZero", [](Config& c) { c.segmentation.stepRatio = 0.0; },
     "Invalid configuration: segmentation.stepRatio must be within (0, 1], got 0.0"},
    {"stepRatioAboveOne", [](Config& c) { c.segmentation.stepRatio = 1.5; },
     "Invalid configuration: segmentation.stepRatio must be within (0, 1], got 1.5"},
    {"stepRatioOnePasses", [](Config& c) { c.segmentation.stepRatio = 1.0; }, ""},
    {"windowBelowOneSample", [](Config& c) { c.segmentation.windowDurationSeconds = 0.00001; },
     "Invalid configuration: segmentation window must hold at least one sample, got 0.16"},
    {"windowInfinite",
     [](Config& c) { c.segmentation.windowDurationSeconds = std::numeric_limits<double>::infinity(); },
     "Invalid configuration: segmentation window must hold at least one sample, got inf"},
    {"windowBeyondSixtyFourBits", [](Config& c) { c.segmentation.windowDurationSeconds = 1e18; },
     "Invalid configuration: segmentation window must hold at least one sample, got 1.6e+22"},
    {"windowOfOneSamplePasses", [](Config& c) { c.segmentation.windowDurationSeconds = 1.0 / 16000; }, ""},
    {"segmentationBatch33", [](Config& c) { c.segmentation.batchSize = 33; },
     "Invalid batch size: segmentation.batchSize must be within 1...32 (the segmentation model's batch range), "
     "got 33",
     kBatch},
    {"segmentationBatch0", [](Config& c) { c.segmentation.batchSize = 0; },
     "Invalid batch size: segmentation.batchSize must be within 1...32 (the segmentation model's batch range), "
     "got 0",
     kBatch},
    {"embeddingBatch0", [](Config& c) { c.setEmbeddingBatchSize(0); },
     "Invalid batch size: embeddingBatchSize must be > 0", kBatch},
    {"embeddingBatch64", [](Config& c) { c.setEmbeddingBatchSize(64); },
     "Invalid batch size: embeddingBatchSize must be <= 32 to fit PLDA batch limits", kBatch},
    {"checksThreeAndEightReportThree",
     [](Config& c) {
       c.segmentation.windowDurationSeconds = -1;
       c.embedding.batchSize = 64;
     },
     "Invalid configuration: segmentation.windowDurationSeconds must be positive, got -1.0"},
    {"vbxIterationsZero", [](Config& c) { c.vbx.maxIterations = 0; },
     "Invalid configuration: maxVBxIterations must be > 0, got 0"},
    {"toleranceZero", [](Config& c) { c.vbx.convergenceTolerance = 0; },
     "Invalid configuration: convergenceTolerance must be positive"},
    {"minSegmentNegative", [](Config& c) { c.embedding.minSegmentDurationSeconds = -0.1; },
     "Invalid configuration: embedding.minSegmentDuration must be >= 0"},
    {"minGapNegative", [](Config& c) { c.postProcessing.minGapDurationSeconds = -0.1; },
     "Invalid configuration: minGapDuration must be >= 0"},
    {"zeroVoteNegative", [](Config& c) { c.zeroVoteReembed.minDurationSeconds = -0.5; },
     "Invalid configuration: zeroVoteReembed.minDurationSeconds must be >= 0, got -0.5"},
    {"minDurationOnNegative", [](Config& c) { c.segmentation.minDurationOn = -1; },
     "Invalid configuration: segmentation.minDurationOn must be >= 0"},
    {"minDurationOffNaN", [](Config& c) { c.segmentation.minDurationOff = kNaN; },
     "Invalid configuration: segmentation.minDurationOff must be >= 0"},
    {"onsetAboveOneBeforeOffset",
     [](Config& c) {
       c.segmentation.speechOnsetThreshold = 1.2f;
       c.segmentation.speechOffsetThreshold = 2.0f;
     },
     "Invalid configuration: speechOnsetThreshold must be within [0, 1], got 1.2"},
    {"onsetNaN", [](Config& c) { c.segmentation.speechOnsetThreshold = kNaNf; },
     "Invalid configuration: speechOnsetThreshold must be within [0, 1], got nan"},
    {"offsetAboveOnset", [](Config& c) { c.segmentation.speechOffsetThreshold = 0.6f; },
     "Invalid configuration: speechOffsetThreshold must be within [0, speechOnsetThreshold], got 0.6"},
    {"offsetNegative", [](Config& c) { c.segmentation.speechOffsetThreshold = -0.25f; },
     "Invalid configuration: speechOffsetThreshold must be within [0, speechOnsetThreshold], got -0.25"},
    {"offsetEqualsOnsetPasses", [](Config& c) { c.segmentation.speechOffsetThreshold = 0.5f; }, ""},
    {"unexaminedFieldsPass",
     [](Config& c) {
       c = c.withSpeakers(-5);
       c.embedding.skipStrategy = Config::EmbeddingSkipStrategy::maskSimilarity(-3);
       c.export_.embeddingsPath = "";
       c.exposeChunkEmbeddings = true;
     },
     ""},
};

INSTANTIATE_TEST_SUITE_P(Checks, OfflineDiarizerConfigValidationTest, testing::ValuesIn(kValidationCases),
                         [](const testing::TestParamInfo<ValidationCase>& info) { return info.param.name; });

TEST(OfflineDiarizerConfigTest, WithSpeakersReplacesTheCountSettingsOnly) {
  auto base = Config::default_();
  base.clustering.numSpeakers = 3;
  base.clustering.constrainedAssignment = false;

  const auto bounded = base.withSpeakers(2, 4);
  EXPECT_EQ(bounded.clustering.minSpeakers, 2);
  EXPECT_EQ(bounded.clustering.maxSpeakers, 4);
  EXPECT_EQ(bounded.clustering.numSpeakers, std::nullopt);
  EXPECT_FALSE(bounded.clustering.constrainedAssignment);
  EXPECT_EQ(base.clustering.numSpeakers, 3);

  const auto open = base.withSpeakers(std::nullopt, 4);
  EXPECT_EQ(open.clustering.minSpeakers, std::nullopt);
  EXPECT_EQ(open.clustering.maxSpeakers, 4);

  const auto exact = bounded.withSpeakers(3);
  EXPECT_EQ(exact.clustering.numSpeakers, 3);
  EXPECT_EQ(exact.clustering.minSpeakers, std::nullopt);
  EXPECT_EQ(exact.clustering.maxSpeakers, std::nullopt);
  EXPECT_FALSE(exact.clustering.constrainedAssignment);

  auto rest = exact;
  rest.clustering = base.clustering;
  EXPECT_EQ(rest, base);
}

TEST(OfflineDiarizerConfigTest, EachConvenienceSetterWritesOneNestedField) {
  struct Case {
    const char* name;
    std::function<void(Config&)> viaProperty;
    std::function<void(Config&)> direct;
    std::function<bool(const Config&)> readsBack;
  };
  using Skip = Config::EmbeddingSkipStrategy;
  const Case cases[] = {
      {"clusteringThreshold", [](Config& c) { c.setClusteringThreshold(0.9); },
       [](Config& c) { c.clustering.threshold = 0.9; }, [](const Config& c) { return c.clusteringThreshold() == 0.9; }},
      {"Fa", [](Config& c) { c.setFa(0.2); }, [](Config& c) { c.clustering.warmStartFa = 0.2; },
       [](const Config& c) { return c.Fa() == 0.2; }},
      {"Fb", [](Config& c) { c.setFb(0.3); }, [](Config& c) { c.clustering.warmStartFb = 0.3; },
       [](const Config& c) { return c.Fb() == 0.3; }},
      {"windowDuration", [](Config& c) { c.setWindowDuration(5); },
       [](Config& c) { c.segmentation.windowDurationSeconds = 5; }, [](const Config& c) { return c.windowDuration() == 5; }},
      {"sampleRate", [](Config& c) { c.setSampleRate(8000); }, [](Config& c) { c.segmentation.sampleRate = 8000; },
       [](const Config& c) { return c.sampleRate() == 8000; }},
      {"segmentationStepRatio", [](Config& c) { c.setSegmentationStepRatio(0.5); },
       [](Config& c) { c.segmentation.stepRatio = 0.5; }, [](const Config& c) { return c.segmentationStepRatio() == 0.5; }},
      {"segmentationMinDurationOn", [](Config& c) { c.setSegmentationMinDurationOn(0.25); },
       [](Config& c) { c.segmentation.minDurationOn = 0.25; },
       [](const Config& c) { return c.segmentationMinDurationOn() == 0.25; }},
      {"segmentationMinDurationOff", [](Config& c) { c.setSegmentationMinDurationOff(0.75); },
       [](Config& c) { c.segmentation.minDurationOff = 0.75; },
       [](const Config& c) { return c.segmentationMinDurationOff() == 0.75; }},
      {"speechOnsetThreshold", [](Config& c) { c.setSpeechOnsetThreshold(0.7f); },
       [](Config& c) { c.segmentation.speechOnsetThreshold = 0.7f; },
       [](const Config& c) { return c.speechOnsetThreshold() == 0.7f; }},
      {"speechOffsetThreshold", [](Config& c) { c.setSpeechOffsetThreshold(0.3f); },
       [](Config& c) { c.segmentation.speechOffsetThreshold = 0.3f; },
       [](const Config& c) { return c.speechOffsetThreshold() == 0.3f; }},
      {"embeddingBatchSize", [](Config& c) { c.setEmbeddingBatchSize(8); }, [](Config& c) { c.embedding.batchSize = 8; },
       [](const Config& c) { return c.embeddingBatchSize() == 8; }},
      {"embeddingExcludeOverlap", [](Config& c) { c.setEmbeddingExcludeOverlap(false); },
       [](Config& c) { c.embedding.excludeOverlap = false; }, [](const Config& c) { return !c.embeddingExcludeOverlap(); }},
      {"embeddingSkipStrategy", [](Config& c) { c.setEmbeddingSkipStrategy(Skip::maskSimilarity(0.9f)); },
       [](Config& c) { c.embedding.skipStrategy = Skip::maskSimilarity(0.9f); },
       [](const Config& c) { return c.embeddingSkipStrategy() == Skip::maskSimilarity(0.9f); }},
      {"minSegmentDuration", [](Config& c) { c.setMinSegmentDuration(2); },
       [](Config& c) { c.embedding.minSegmentDurationSeconds = 2; }, [](const Config& c) { return c.minSegmentDuration() == 2; }},
      {"maxVBxIterations", [](Config& c) { c.setMaxVBxIterations(7); }, [](Config& c) { c.vbx.maxIterations = 7; },
       [](const Config& c) { return c.maxVBxIterations() == 7; }},
      {"convergenceTolerance", [](Config& c) { c.setConvergenceTolerance(1e-3); },
       [](Config& c) { c.vbx.convergenceTolerance = 1e-3; }, [](const Config& c) { return c.convergenceTolerance() == 1e-3; }},
      {"minGapDuration", [](Config& c) { c.setMinGapDuration(0.3); },
       [](Config& c) { c.postProcessing.minGapDurationSeconds = 0.3; }, [](const Config& c) { return c.minGapDuration() == 0.3; }},
      {"exclusiveSegments", [](Config& c) { c.setExclusiveSegments(true); },
       [](Config& c) { c.postProcessing.exclusiveSegments = true; }, [](const Config& c) { return c.exclusiveSegments(); }},
      {"embeddingExportPath", [](Config& c) { c.setEmbeddingExportPath("/tmp/e.json"); },
       [](Config& c) { c.export_.embeddingsPath = "/tmp/e.json"; },
       [](const Config& c) { return c.embeddingExportPath() == "/tmp/e.json"; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Config viaProperty, direct;
    c.viaProperty(viaProperty);
    c.direct(direct);
    EXPECT_EQ(viaProperty, direct);
    EXPECT_NE(viaProperty, Config::default_());
    EXPECT_TRUE(c.readsBack(viaProperty));
  }
}

TEST(OfflineDiarizerConfigTest, FlatInitialiserMapsItsFieldsAndFixesTheRest) {
  const Config config({.clusteringThreshold = 0.7,
                       .Fa = 0.1,
                       .Fb = 0.9,
                       .windowDuration = 5.0,
                       .sampleRate = 8000,
                       .segmentationStepRatio = 0.5,
                       .embeddingBatchSize = 16,
                       .embeddingExcludeOverlap = false,
                       .embeddingSkipStrategy = Config::EmbeddingSkipStrategy::maskSimilarity(0.95f),
                       .minSegmentDuration = 0.5,
                       .minGapDuration = 0.2,
                       .exclusiveSegments = true,
                       .speechOnsetThreshold = 0.6f,
                       .speechOffsetThreshold = 0.4f,
                       .segmentationMinDurationOn = 0.1,
                       .segmentationMinDurationOff = 0.3,
                       .maxVBxIterations = 10,
                       .convergenceTolerance = 1e-3,
                       .embeddingExportPath = "/tmp/embeddings.json"});
  const Config expected(
      Config::Segmentation{5.0, 8000, 0.1, 0.3, 0.5, 0.6f, 0.4f, 32},
      Config::Embedding{16, false, 0.5, Config::EmbeddingSkipStrategy::maskSimilarity(0.95f)},
      Config::Clustering{0.7, 0.1, 0.9, std::nullopt, std::nullopt, std::nullopt, true}, Config::VBx{10, 1e-3},
      Config::PostProcessing{0.2, true}, Config::ZeroVoteReembed{false, 0.4}, Config::Export{"/tmp/embeddings.json"},
      false);
  EXPECT_EQ(config, expected);
  EXPECT_EQ(Config(Config::Flat{}), Config::default_());
}

TEST(OfflineDiarizationErrorTest, DescriptionsAndCodes) {
  struct Case {
    OfflineDiarizationError error;
    const char* description;
    Code code;
  };
  const Case cases[] = {
      {OfflineDiarizationError::modelNotLoaded("FBank"), "Model not loaded: FBank", Code::modelNotLoaded},
      {OfflineDiarizationError::invalidConfiguration("x"), "Invalid configuration: x", Code::invalidConfiguration},
      {OfflineDiarizationError::invalidBatchSize("y"), "Invalid batch size: y", Code::invalidBatchSize},
      {OfflineDiarizationError::processingFailed("z"), "Processing failed: z", Code::processingFailed},
      {OfflineDiarizationError::exportFailed("disk full"), "Failed to export data: disk full", Code::exportFailed},
      {OfflineDiarizationError::invalidSpan("end before start"), "Invalid span: end before start", Code::invalidSpan},
      {OfflineDiarizationError::noSpeechDetected(), "No speech detected in audio", Code::noSpeechDetected},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.description);
    EXPECT_EQ(c.error.description(), c.description);
    EXPECT_STREQ(c.error.what(), c.description);
    EXPECT_EQ(c.error.errorCode(), c.code);
    EXPECT_EQ(c.error.typeName(), "OfflineDiarizationError");
  }
}

}  // namespace
}  // namespace tesselaudio
