#include "speech/Diarizer/Offline/Extraction/OfflineEmbeddingExtractor.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ml/MLMultiArray.h"
#include "speech/Diarizer/Offline/Extraction/SilenceAwareFbank.h"
#include "speech/Diarizer/Offline/Extraction/WeightInterpolation.h"
#include "tests/speech/Diarizer/Offline/Extraction/OfflineEmbeddingFixture.h"

namespace tesselaudio {
namespace {

using platform::MLMultiArray;
using platform::MLMultiArrayConstraint;
using platform::MLMultiArrayDataType;
using platform::MLMultiArrayShapeConstraintType;
using testsupport::ElementType;
using testsupport::ModelBuilder;
using testsupport::TensorValue;

// An FBANK-like model: `inputName` [1, 1, samples] → `outputName` [1, 1, 1, 589], the first 589
// samples.
ModelBuilder fbankLike(const std::string& inputName, const std::string& outputName, std::int64_t samples = 160000) {
  ModelBuilder model("FBank");
  model.input(inputName, ElementType::float32, {1, 1, samples})
      .output(outputName, ElementType::float32, {1, 1, 1, 589})
      .initializer("starts", TensorValue::int64s({0}))
      .initializer("ends", TensorValue::int64s({589}))
      .initializer("axes", TensorValue::int64s({2}))
      .initializer("shape", TensorValue::int64s({1, 1, 1, 589}))
      .node("Slice", {inputName, "starts", "ends", "axes"}, {"head"})
      .node("Reshape", {"head", "shape"}, {outputName});
  return model;
}

// An embedding-like model: `featureName` [1, 1, 1, 589] and `weightName` → `outputName` [1, 589],
// their product. `weightShape` empty declares the weights without any shape.
ModelBuilder embeddingLike(const std::string& featureName, const std::string& weightName,
                           const std::string& outputName, std::vector<std::int64_t> weightShape = {1, 589}) {
  ModelBuilder model("Embedding");
  model.input(featureName, ElementType::float32, {1, 1, 1, 589});
  if (weightShape.empty()) {
    model.inputWithoutShape(weightName, ElementType::float32);
  } else {
    model.input(weightName, ElementType::float32, weightShape);
  }
  model.output(outputName, ElementType::float32, {1, 589})
      .initializer("rowShape", TensorValue::int64s({1, 589}))
      .node("Reshape", {featureName, "rowShape"}, {"row"})
      .node("Mul", {"row", weightName}, {outputName});
  return model;
}

class OfflineEmbeddingExtractorTest : public OfflineEmbeddingFixture {
 protected:
  std::optional<OfflineEmbeddingExtractor> make(const ModelBuilder& fbank, const ModelBuilder& embedding,
                                                const OfflineDiarizerConfig& config = OfflineDiarizerConfig::default_()) {
    return OfflineEmbeddingExtractor::make(load(fbank), load(embedding), std::nullopt, config);
  }
};

TEST_F(OfflineEmbeddingExtractorTest, StandInsSettleTheDefaultShapes) {
  const auto made = extractor();
  EXPECT_EQ(made.audioSampleCount(), 160000);
  EXPECT_EQ(made.fbankInputShape(), (std::vector<std::int64_t>{1, 1, 160000}));
  EXPECT_EQ(made.weightFrameCount(), 589);
  EXPECT_EQ(made.weightInputShape(), (std::vector<std::int64_t>{1, 589}));
  EXPECT_EQ(made.modelBatchLimit(), 32);
  EXPECT_EQ(made.fbankInputName(), "audio");
  EXPECT_EQ(made.fbankOutputName(), "fbank_features");
  EXPECT_EQ(made.fbankFeatureName(), "fbank_features");
  EXPECT_EQ(made.weightInputName(), "weights");
  EXPECT_EQ(made.embeddingOutputName(), "embedding");
  EXPECT_TRUE(logged("OfflineEmbedding",
                     "Offline embedding configured with FBANK input audio[1\u00d71\u00d7160000] \u2192 fbank_features; "
                     "embedding consumes fbank_features + weights[1\u00d7589] (frames=589), maxBatch=32, "
                     "output=embedding"));
}

TEST_F(OfflineEmbeddingExtractorTest, LongerModelInputTakesOneWindowAndKeepsItsShape) {
  const auto made = make(fbankLike("audio", "fbank_features", 240000), testsupport::embeddingModel());
  ASSERT_TRUE(made);
  EXPECT_EQ(made->audioSampleCount(), 160000);
  EXPECT_EQ(made->fbankInputShape(), (std::vector<std::int64_t>{1, 1, 240000}));

  const std::vector<float> samples(200000, 0.25f);
  const auto input = made->prepareFbankInput(samples.data(), static_cast<std::int64_t>(samples.size()));
  ASSERT_EQ(input->count(), 240000);
  EXPECT_EQ((*input)[159999].floatValue(), 0.25f);
  EXPECT_EQ((*input)[160000].floatValue(), 0.0f);
  EXPECT_EQ((*input)[239999].floatValue(), 0.0f);
}

TEST_F(OfflineEmbeddingExtractorTest, WeightsWithoutAnyShapeFallBackTo589Frames) {
  const auto made = make(testsupport::fbankModel(), embeddingLike("fbank_features", "weights", "embedding", {}));
  ASSERT_TRUE(made);
  EXPECT_EQ(made->weightFrameCount(), 589);
  EXPECT_EQ(made->weightInputShape(), (std::vector<std::int64_t>{1, 589}));
}

TEST_F(OfflineEmbeddingExtractorTest, BatchLimitIsClampedToOneThroughThirtyTwo) {
  struct Case {
    const char* name;
    std::int64_t batchSize;
    std::int64_t limit;
  };
  for (const Case& c : {Case{"zero", 0, 1}, Case{"seven", 7, 7}, Case{"sixtyFour", 64, 32}}) {
    SCOPED_TRACE(c.name);
    auto config = OfflineDiarizerConfig::default_();
    config.embedding.batchSize = c.batchSize;
    EXPECT_EQ(extractor(config).modelBatchLimit(), c.limit);
  }
}

TEST_F(OfflineEmbeddingExtractorTest, BrokenContractLogsItsTextAndGivesNoExtractor) {
  struct Case {
    const char* name;
    ModelBuilder fbank;
    ModelBuilder embedding;
    const char* text;
  };
  const Case cases[] = {
      {"noAudioInput", fbankLike("samples", "fbank_features"), testsupport::embeddingModel(),
       "FBANK model is missing `audio` multiarray input; required for offline pipeline"},
      {"noFeatureOutput", fbankLike("audio", "features"), testsupport::embeddingModel(),
       "FBANK model missing `fbank_features` multiarray output"},
      {"noFeatureInput", testsupport::fbankModel(), embeddingLike("features", "weights", "embedding"),
       "Embedding model missing `fbank_features` multiarray input"},
      {"noWeightsInput", testsupport::fbankModel(), embeddingLike("fbank_features", "mask", "embedding"),
       "Embedding model missing `weights` multiarray input"},
      {"noEmbeddingOutput", testsupport::fbankModel(), embeddingLike("fbank_features", "weights", "vector"),
       "Embedding model missing `embedding` multiarray output"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::SystemLogCapture log;
    EXPECT_FALSE(make(c.fbank, c.embedding).has_value());
    bool found = false;
    for (const auto& record : log.records()) {
      if (record.category == "OfflineEmbedding" && record.level == platform::SystemLog::Level::error) {
        EXPECT_EQ(record.message, c.text);
        found = true;
      }
    }
    EXPECT_TRUE(found);
  }
}

TEST(OfflineEmbeddingShapeTest, ElementCountReadsTheDeclaredShapeOnly) {
  MLMultiArrayConstraint constraint;
  EXPECT_EQ(OfflineEmbeddingExtractor::resolveElementCount(std::nullopt, 7), 7);
  EXPECT_EQ(OfflineEmbeddingExtractor::resolveElementCount(constraint, 7), 7);
  constraint.shape = {1, 80000, 0};
  EXPECT_EQ(OfflineEmbeddingExtractor::resolveElementCount(constraint, 160000), 80000);
  constraint.shape = {1, 0, 0};
  EXPECT_EQ(OfflineEmbeddingExtractor::resolveElementCount(constraint, 160000), 160000);
  constraint.shape = {1, 1, 240000};
  EXPECT_EQ(OfflineEmbeddingExtractor::resolveElementCount(constraint, 160000), 240000);
}

TEST(OfflineEmbeddingShapeTest, SanitisedShapesReplaceOpenDimensions) {
  EXPECT_EQ(OfflineEmbeddingExtractor::sanitizedShape(std::vector<std::int64_t>{1, -1, 589}, {1, 1, 589}),
            (std::vector<std::int64_t>{1, 1, 589}));
  // Past the fallback's end its last value serves; an empty fallback gives 1.
  EXPECT_EQ(OfflineEmbeddingExtractor::sanitizedShape(std::vector<std::int64_t>{0, 0, 0}, {2, 5}),
            (std::vector<std::int64_t>{2, 5, 5}));
  EXPECT_EQ(OfflineEmbeddingExtractor::sanitizedShape(std::vector<std::int64_t>{0, 3}, {}),
            (std::vector<std::int64_t>{1, 3}));
  EXPECT_EQ(OfflineEmbeddingExtractor::sanitizedShape(std::vector<std::int64_t>{}, {0, 589}),
            (std::vector<std::int64_t>{1, 589}));
}

TEST(OfflineEmbeddingShapeTest, ConstraintsGiveEnumeratedThenDeclaredThenRangesThenFallback) {
  MLMultiArrayConstraint ranges;
  ranges.shapeConstraint.type = MLMultiArrayShapeConstraintType::range;
  ranges.shapeConstraint.sizeRangeForDimension = {{1, 4}, {0, 10}, {160000, 1}};
  EXPECT_EQ(OfflineEmbeddingExtractor::dimensionHint(ranges), 3);
  EXPECT_EQ(OfflineEmbeddingExtractor::sanitizedShape(ranges, {1, 7, 9}), (std::vector<std::int64_t>{1, 7, 160000}));
  ranges.shapeConstraint.sizeRangeForDimension = {{1, 4}, {0, 10}};
  EXPECT_EQ(OfflineEmbeddingExtractor::sanitizedShape(ranges, {1, 0}), (std::vector<std::int64_t>{1, 1}));

  MLMultiArrayConstraint declared;
  declared.shape = {1, 0, 589};
  EXPECT_EQ(OfflineEmbeddingExtractor::dimensionHint(declared), 3);
  EXPECT_EQ(OfflineEmbeddingExtractor::sanitizedShape(declared, {1, 1, 589}), (std::vector<std::int64_t>{1, 1, 589}));

  MLMultiArrayConstraint enumerated = declared;
  enumerated.shapeConstraint.type = MLMultiArrayShapeConstraintType::enumerated;
  enumerated.shapeConstraint.enumeratedShapes = {{2, 300}, {1, 589}};
  EXPECT_EQ(OfflineEmbeddingExtractor::dimensionHint(enumerated), 2);
  EXPECT_EQ(OfflineEmbeddingExtractor::sanitizedShape(enumerated, {1, 589}), (std::vector<std::int64_t>{2, 300}));

  const MLMultiArrayConstraint nothing;
  EXPECT_EQ(OfflineEmbeddingExtractor::dimensionHint(nothing), 0);
  EXPECT_EQ(OfflineEmbeddingExtractor::sanitizedShape(nothing, {0, 589}), (std::vector<std::int64_t>{1, 589}));
}

TEST(SilenceAwareFbankTest, FramesPastTheSamplesAreSilent) {
  const std::vector<float> samples(1000, 0.1f);
  const auto silent = SilenceAwareFbank::silentFrames(samples, 10);
  EXPECT_EQ(silent, (std::vector<bool>{false, false, false, false, false, false, false, true, true, true}));
  EXPECT_TRUE(SilenceAwareFbank::silentFrames(samples, 0).empty());
}

TEST(SilenceAwareFbankTest, OneNonZeroSampleOrNaNMakesAFrameHeard) {
  std::vector<float> samples(1200, 0.0f);
  samples[500] = 1e-30f;
  samples[1100] = std::numeric_limits<float>::quiet_NaN();
  // Frame f covers [160 f, 160 f + 400).
  const auto silent = SilenceAwareFbank::silentFrames(samples, 8);
  EXPECT_EQ(silent, (std::vector<bool>{true, false, false, false, true, false, false, true}));
}

// A [1, 1, samples] float32 array of `values`.
std::shared_ptr<MLMultiArray> audioArray(const std::vector<float>& values) {
  auto array = std::make_shared<MLMultiArray>(std::vector<std::int64_t>{1, 1, static_cast<std::int64_t>(values.size())},
                                              MLMultiArrayDataType::float32);
  std::copy(values.begin(), values.end(), static_cast<float*>(array->dataPointer()));
  return array;
}

// [1, 1, bins, frames] features with (b, f) = 10 b + f mod 7 + 1.
std::shared_ptr<MLMultiArray> featureArray(std::int64_t bins, std::int64_t frames) {
  auto array = std::make_shared<MLMultiArray>(std::vector<std::int64_t>{1, 1, bins, frames}, MLMultiArrayDataType::float32);
  for (std::int64_t b = 0; b < bins; ++b) {
    for (std::int64_t f = 0; f < frames; ++f) {
      array->set(std::vector<std::int64_t>{0, 0, b, f}, static_cast<float>(10 * b + f % 7 + 1));
    }
  }
  return array;
}

TEST(OfflineEmbeddingRecenterTest, MeanOfHeardFramesIsSubtractedFromEveryFrame) {
  constexpr std::int64_t kBins = 3, kFrames = 998;
  // Ten seconds whose last two are zeros: frames from 800 on hold no sample of signal.
  std::vector<float> samples(160000, 0.3f);
  std::fill(samples.begin() + 128000, samples.end(), 0.0f);
  const auto features = featureArray(kBins, kFrames);
  const auto original = featureArray(kBins, kFrames);
  OfflineEmbeddingExtractor::recenterOnSignal(*features, *audioArray(samples));
  for (std::int64_t b = 0; b < kBins; ++b) {
    SCOPED_TRACE("bin " + std::to_string(b));
    float sum = 0;
    for (std::int64_t f = 0; f < 800; ++f) sum += (*original)[std::vector<std::int64_t>{0, 0, b, f}].floatValue();
    const float mean = sum / 800.0f;
    for (std::int64_t f : {0, 1, 799, 800, 997}) {
      const std::vector<std::int64_t> at{0, 0, b, f};
      EXPECT_FLOAT_EQ((*features)[at].floatValue(), (*original)[at].floatValue() - mean);
    }
  }
}

TEST(OfflineEmbeddingRecenterTest, AllSilentAllHeardOrOtherArraysStayUntouched) {
  struct Case {
    const char* name;
    std::vector<float> samples;
    std::vector<std::int64_t> featureShape;
  };
  const Case cases[] = {
      {"allZero", std::vector<float>(160000, 0.0f), {1, 1, 2, 998}},
      {"noSilentFrame", std::vector<float>(160000, 0.2f), {1, 1, 2, 998}},
      {"threeDimensional", std::vector<float>(1000, 0.0f), {1, 2, 998}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<float> partlySilent = c.samples;
    auto features = std::make_shared<MLMultiArray>(c.featureShape, MLMultiArrayDataType::float32);
    for (std::int64_t i = 0; i < features->count(); ++i) features->set(i, static_cast<float>(i % 5));
    OfflineEmbeddingExtractor::recenterOnSignal(*features, *audioArray(partlySilent));
    for (std::int64_t i = 0; i < features->count(); ++i) ASSERT_EQ((*features)[i].floatValue(), static_cast<float>(i % 5));
  }
}

TEST(WeightInterpolationTest, ResamplesWithAlignedFrameCentres) {
  struct Case {
    const char* name;
    std::vector<float> input;
    std::int64_t outputLength;
    std::vector<float> expected;
  };
  std::vector<float> ramp(589);
  for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<float>(i) * 0.5f;
  const Case cases[] = {
      {"identity", ramp, 589, ramp},
      {"upsample", {0, 1}, 4, {0, 0.25f, 0.75f, 1}},
      {"downsample", {0, 1, 2, 3}, 2, {0.5f, 2.5f}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const WeightInterpolation::InterpolationCoefficients coefficients(static_cast<std::int64_t>(c.input.size()),
                                                                      c.outputLength);
    EXPECT_EQ(coefficients.interpolate(c.input), c.expected);
    EXPECT_EQ(coefficients.outputLength, c.outputLength);
    EXPECT_TRUE(coefficients.interpolate({}).empty());
  }
}

TEST_F(OfflineEmbeddingExtractorTest, EmptyBatchesMakeNoModelCall) {
  // Models that would fail on any call: their declared input shapes fit nothing the extractor makes.
  const auto made = make(fbankLike("audio", "fbank_features", 1000), embeddingLike("fbank_features", "weights", "embedding", {1, 7}));
  ASSERT_TRUE(made);
  EXPECT_TRUE(made->runFbankBatch({}).empty());
  EXPECT_TRUE(made->runEmbeddingBatch({}, made->prepareWeightsInput(std::vector<float>(7, 1.0f))).empty());
}

TEST_F(OfflineEmbeddingExtractorTest, ModelsRunInBatchesAndKeepOrder) {
  const auto made = extractor();
  std::vector<std::shared_ptr<MLMultiArray>> inputs;
  for (float level : {0.25f, -0.5f}) {
    const std::vector<float> samples(160000, level);
    inputs.push_back(made.prepareFbankInput(samples.data(), 160000));
  }
  const auto features = made.runFbankBatch(inputs);
  ASSERT_EQ(features.size(), 2u);
  // No silent frame: the frame levels come back unchanged.
  EXPECT_FLOAT_EQ((*features[0])[0].floatValue(), 0.25f);
  EXPECT_FLOAT_EQ((*features[1])[588].floatValue(), -0.5f);

  const auto weights = made.prepareWeightsInput(std::vector<float>(589, 1.0f));
  const auto embeddings = made.runEmbeddingBatch(features, weights);
  ASSERT_EQ(embeddings.size(), 2u);
  ASSERT_EQ(embeddings[0].size(), 256u);
  EXPECT_FLOAT_EQ(embeddings[0][0], 0.25f);
  EXPECT_FLOAT_EQ(embeddings[1][0], -0.5f);
  EXPECT_EQ(made.runEmbeddingModel(features[1], weights), embeddings[1]);
}

}  // namespace
}  // namespace tesselaudio
