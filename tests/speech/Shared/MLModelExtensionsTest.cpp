#include "speech/Shared/MLModelExtensions.h"

#include <stop_token>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/ml/MLDictionaryFeatureProvider.h"
#include "platform/ml/MLModel.h"
#include "platform/ml/MLModelError.h"
#include "platform/sys/CancellationError.h"
#include "speech/Shared/ANEMemoryOptimizer.h"
#include "speech/Shared/ZeroCopyDiarizerFeatureProvider.h"
#include "speech/Shared/ZeroCopyFeatureProvider.h"
#include "tests/support/ModelBuilder.h"
#include "tests/support/MultiArrays.h"
#include "tests/support/TemporaryFolder.h"

namespace tesselaudio {
namespace {

using platform::MLDictionaryFeatureProvider;
using platform::MLFeatureProvider;
using platform::MLFeatureValue;
using platform::MLModel;
using platform::MLMultiArray;
using platform::MLMultiArrayDataType;
using testsupport::arrayValues;
using testsupport::ElementType;
using testsupport::makeArray;
using testsupport::ModelBuilder;
using ::testing::ElementsAre;

class MLModelExtensionsTest : public ::testing::Test {
 protected:
  // out = waveform * mask + 1 over [1, 5] rows, so that padded inputs show any misplaced element.
  std::shared_ptr<MLModel> maskedModel() {
    ModelBuilder builder("Masked");
    builder.input("waveform", ElementType::float32, {1, 5})
        .input("mask", ElementType::float32, {1, 5})
        .output("out", ElementType::float32, {1, 5})
        .initializer("one", {ElementType::float32, {}, {1}})
        .node("Mul", {"waveform", "mask"}, {"masked"})
        .node("Add", {"masked", "one"}, {"out"});
    return std::make_shared<MLModel>(builder.writeBundle(folder_.path()));
  }

  // y = 2 * x over [1, 5].
  std::shared_ptr<MLModel> doubler() {
    ModelBuilder builder("Doubler");
    builder.input("x", ElementType::float32, {1, 5})
        .output("y", ElementType::float32, {1, 5})
        .initializer("two", {ElementType::float32, {}, {2}})
        .node("Mul", {"x", "two"}, {"y"});
    return std::make_shared<MLModel>(builder.writeBundle(folder_.path()));
  }

  static std::vector<double> output(const MLFeatureProvider& outputs, const std::string& name) {
    return arrayValues(*outputs.featureValue(name)->multiArrayValue());
  }

  testsupport::TemporaryFolder folder_;
};

TEST_F(MLModelExtensionsTest, EqualsThePredictionOnDictionaryAndZeroCopyInputs) {
  auto model = maskedModel();
  const std::vector<float> samples{1, 2, 3, 4, 5};
  const std::vector<float> ones{1, 0, 1, 0, 1};
  auto waveform = makeArray({1, 5}, {1, 2, 3, 4, 5});
  auto mask = makeArray({1, 5}, {1, 0, 1, 0, 1});
  MLDictionaryFeatureProvider dictionary({{"waveform", waveform}, {"mask", mask}});
  const auto expected = output(*model->prediction(dictionary), "out");
  ASSERT_THAT(expected, ElementsAre(2, 1, 4, 1, 6));

  EXPECT_EQ(output(*compatPrediction(*model, dictionary, {}, {}), "out"), expected);

  // Padded aligned buffers (row stride 16) fed without a dictionary.
  ANEMemoryOptimizer memory;
  auto paddedWaveform = memory.getPooledBuffer("waveform", {1, 5}, MLMultiArrayDataType::float32);
  auto paddedMask = memory.getPooledBuffer("mask", {1, 5}, MLMultiArrayDataType::float32);
  memory.optimizedCopy(samples, *paddedWaveform, 0, true);
  memory.optimizedCopy(ones, *paddedMask, 0, true);
  auto batch = ZeroCopyDiarizerFeatureProvider::batchProvider({paddedWaveform}, {paddedMask});
  EXPECT_EQ(output(*compatPrediction(*model, *batch.at(0), {}, {}), "out"), expected);
}

TEST_F(MLModelExtensionsTest, ChainedOutputsFeedTheNextModel) {
  auto first = doubler();
  auto second = maskedModel();
  ZeroCopyFeatureProvider input({{"x", std::make_shared<const MLFeatureValue>(makeArray({1, 5}, {1, 2, 3, 4, 5}))}});
  auto doubled = compatPrediction(*first, input, {}, {});
  auto next = ZeroCopyDiarizerFeatureProvider::chain(
      *doubled, "y", "waveform",
      {{"mask", std::make_shared<const MLFeatureValue>(makeArray({1, 5}, {1, 1, 1, 1, 0}))}});
  ASSERT_NE(next, nullptr);
  EXPECT_THAT(output(*compatPrediction(*second, *next, {}, {}), "out"), ElementsAre(3, 5, 7, 9, 1));
}

TEST_F(MLModelExtensionsTest, StopBeforeTheStartCancels) {
  auto model = doubler();
  std::stop_source stop;
  stop.request_stop();
  MLDictionaryFeatureProvider input({{"x", makeArray({1, 5}, {1, 2, 3, 4, 5})}});
  EXPECT_THROW(compatPrediction(*model, input, {}, stop.get_token()), platform::CancellationError);
}

TEST_F(MLModelExtensionsTest, PredictionErrorsPassUnchanged) {
  auto model = doubler();
  MLDictionaryFeatureProvider wrongName({{"z", makeArray({1, 5}, {1, 2, 3, 4, 5})}});
  try {
    compatPrediction(*model, wrongName, {}, {});
    FAIL() << "no error";
  } catch (const platform::MLModelError& error) {
    EXPECT_EQ(error.errorCode(), platform::MLModelError::Code::featureType);
  }
}

}  // namespace
}  // namespace tesselaudio
