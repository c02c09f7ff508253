#include "speech/ASR/Parakeet/SlidingWindow/TDT/ReusableJointInputProvider.h"

#include <gtest/gtest.h>

#include "platform/ml/MLFeatureValue.h"
#include "platform/ml/MLMultiArray.h"
#include "speech/Shared/ANEMemoryUtils.h"

namespace tesselaudio {
namespace {

using platform::MLMultiArrayDataType;

TEST(ReusableJointInputProviderTest, ServesItsTwoArraysByReference) {
  auto encoderStep = ANEMemoryUtils::createAlignedArray({1, 1024, 1}, MLMultiArrayDataType::float32, true);
  auto decoderStep = ANEMemoryUtils::createAlignedArray({1, 640, 1}, MLMultiArrayDataType::float32, true);
  const ReusableJointInputProvider provider(encoderStep, decoderStep);

  EXPECT_EQ(provider.featureNames(), (std::set<std::string>{"decoder_step", "encoder_step"}));
  EXPECT_EQ(provider.encoderStep(), encoderStep);
  EXPECT_EQ(provider.decoderStep(), decoderStep);
  ASSERT_TRUE(provider.featureValue("encoder_step"));
  ASSERT_TRUE(provider.featureValue("decoder_step"));
  EXPECT_EQ(provider.featureValue("encoder_step")->multiArrayValue(), encoderStep);
  EXPECT_EQ(provider.featureValue("decoder_step")->multiArrayValue(), decoderStep);
  // The same value object every time: nothing is made per step.
  EXPECT_EQ(provider.featureValue("encoder_step"), provider.featureValue("encoder_step"));

  // A value written afterwards is what the next read sees.
  encoderStep->set(1023, 2.5);
  decoderStep->set(0, -1.5);
  EXPECT_EQ((*provider.featureValue("encoder_step")->multiArrayValue())[1023].floatValue(), 2.5f);
  EXPECT_EQ((*provider.featureValue("decoder_step")->multiArrayValue())[0].floatValue(), -1.5f);

  for (const char* other : {"encoder", "decoder", "ENCODER_STEP", "", "token_id"}) {
    EXPECT_EQ(provider.featureValue(other), nullptr) << other;
  }
}

}  // namespace
}  // namespace tesselaudio
