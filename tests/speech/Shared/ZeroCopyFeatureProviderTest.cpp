#include "speech/Shared/ZeroCopyFeatureProvider.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/ml/MLDictionaryFeatureProvider.h"
#include "speech/Shared/ZeroCopyDiarizerFeatureProvider.h"
#include "tests/support/MultiArrays.h"

namespace tesselaudio {
namespace {

using platform::MLFeatureValue;
using platform::MLMultiArray;
using testsupport::makeArray;
using ::testing::ElementsAre;

std::shared_ptr<const MLFeatureValue> arrayValue(double value) {
  return std::make_shared<const MLFeatureValue>(makeArray({1}, {value}));
}

TEST(ZeroCopyFeatureProviderTest, ProvidersAnswerFromTheirMap) {
  auto a = arrayValue(1);
  auto b = std::make_shared<const MLFeatureValue>(int64_t{7});
  ZeroCopyFeatureProvider plain({{"a", a}, {"b", b}});
  ZeroCopyDiarizerFeatureProvider diarizer({{"a", a}, {"b", b}});
  for (const platform::MLFeatureProvider* provider : {static_cast<const platform::MLFeatureProvider*>(&plain),
                                                      static_cast<const platform::MLFeatureProvider*>(&diarizer)}) {
    EXPECT_THAT(provider->featureNames(), ElementsAre("a", "b"));
    EXPECT_EQ(provider->featureValue("a"), a);
    EXPECT_EQ(provider->featureValue("b"), b);
    EXPECT_EQ(provider->featureValue("c"), nullptr);
  }
}

TEST(ZeroCopyFeatureProviderTest, ChainPassesTheVeryValueOnOrNothing) {
  auto encoded = arrayValue(3);
  auto extra = arrayValue(4);
  auto stale = arrayValue(5);
  platform::MLDictionaryFeatureProvider outputs({{"encoded", encoded}});

  EXPECT_EQ(ZeroCopyFeatureProvider::chain(outputs, "missing", "input"), nullptr);
  EXPECT_EQ(ZeroCopyDiarizerFeatureProvider::chain(outputs, "missing", "input", {{"extra", extra}}), nullptr);

  auto plain = ZeroCopyFeatureProvider::chain(outputs, "encoded", "input");
  ASSERT_NE(plain, nullptr);
  EXPECT_THAT(plain->featureNames(), ElementsAre("input"));
  EXPECT_EQ(plain->featureValue("input"), encoded);

  auto diarizer = ZeroCopyDiarizerFeatureProvider::chain(outputs, "encoded", "input",
                                                         {{"extra", extra}, {"input", stale}});
  ASSERT_NE(diarizer, nullptr);
  EXPECT_THAT(diarizer->featureNames(), ElementsAre("extra", "input"));
  EXPECT_EQ(diarizer->featureValue("input"), encoded);
  EXPECT_EQ(diarizer->featureValue("extra"), extra);
}

TEST(ZeroCopyFeatureProviderTest, BatchPairsWaveformsAndMasksUpToTheShorterList) {
  std::vector<std::shared_ptr<MLMultiArray>> waveforms{makeArray({2}, {1, 1}), makeArray({2}, {2, 2}),
                                                       makeArray({2}, {3, 3})};
  std::vector<std::shared_ptr<MLMultiArray>> masks{makeArray({2}, {0, 1}), makeArray({2}, {1, 0})};
  auto batch = ZeroCopyDiarizerFeatureProvider::batchProvider(waveforms, masks);
  ASSERT_EQ(batch.size(), 2u);
  for (size_t i = 0; i < batch.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_THAT(batch[i]->featureNames(), ElementsAre("mask", "waveform"));
    EXPECT_EQ(batch[i]->featureValue("waveform")->multiArrayValue(), waveforms[i]);
    EXPECT_EQ(batch[i]->featureValue("mask")->multiArrayValue(), masks[i]);
  }
  EXPECT_TRUE(ZeroCopyDiarizerFeatureProvider::batchProvider({}, masks).empty());
}

}  // namespace
}  // namespace tesselaudio
