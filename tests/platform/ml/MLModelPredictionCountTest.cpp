#include "platform/ml/MLModel.h"

#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ml/MLArrayBatchProvider.h"
#include "platform/ml/MLDictionaryFeatureProvider.h"
#include "platform/ml/MLModelError.h"
#include "platform/ml/MLMultiArray.h"
#include "tests/support/ModelBuilder.h"
#include "tests/support/TemporaryFolder.h"

namespace platform {
namespace {

using testsupport::ElementType;

TEST(MLModelPredictionCountTest, CountsEveryPredictionOfThatModel) {
  const testsupport::TemporaryFolder folder;
  testsupport::ModelBuilder doubler("Doubler");
  doubler.input("x", ElementType::float32, {1, 2})
      .output("y", ElementType::float32, {1, 2})
      .node("Add", {"x", "x"}, {"y"});
  const auto bundle = doubler.writeBundle(folder.path());
  const MLModel model(bundle);
  const MLModel other(bundle);
  const auto x = std::make_shared<MLMultiArray>(std::vector<int64_t>{1, 2}, MLMultiArrayDataType::float32);
  const auto input = std::make_shared<MLDictionaryFeatureProvider>(std::map<std::string, std::shared_ptr<MLMultiArray>>{{"x", x}});
  EXPECT_EQ(model.predictionCount(), 0u);

  model.prediction(*input);
  model.predictions(MLArrayBatchProvider({input, input}));
  EXPECT_THROW(model.prediction(MLDictionaryFeatureProvider(MLDictionaryFeatureProvider::Dictionary{})), MLModelError);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 25; ++i) model.prediction(*input);
    });
  }
  for (auto& thread : threads) thread.join();

  EXPECT_EQ(model.predictionCount(), 104u);
  EXPECT_EQ(other.predictionCount(), 0u);
}

}  // namespace
}  // namespace platform
