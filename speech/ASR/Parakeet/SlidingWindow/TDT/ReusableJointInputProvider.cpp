#include "speech/ASR/Parakeet/SlidingWindow/TDT/ReusableJointInputProvider.h"

#include <cassert>
#include <utility>

#include "platform/ml/MLFeatureValue.h"

namespace tesselaudio {
namespace {

constexpr const char* kEncoderStep = "encoder_step";
constexpr const char* kDecoderStep = "decoder_step";

}  // namespace

ReusableJointInputProvider::ReusableJointInputProvider(
    std::shared_ptr<platform::MLMultiArray> encoderStep,
    std::shared_ptr<platform::MLMultiArray> decoderStep)
    : encoderStep_(std::make_shared<const platform::MLFeatureValue>(std::move(encoderStep))),
      decoderStep_(std::make_shared<const platform::MLFeatureValue>(std::move(decoderStep))) {
  assert(encoderStep_->multiArrayValue() && decoderStep_->multiArrayValue());
}

const std::shared_ptr<platform::MLMultiArray>& ReusableJointInputProvider::encoderStep() const {
  return encoderStep_->multiArrayValue();
}

const std::shared_ptr<platform::MLMultiArray>& ReusableJointInputProvider::decoderStep() const {
  return decoderStep_->multiArrayValue();
}

std::set<std::string> ReusableJointInputProvider::featureNames() const {
  return {kEncoderStep, kDecoderStep};
}

std::shared_ptr<const platform::MLFeatureValue> ReusableJointInputProvider::featureValue(
    const std::string& featureName) const {
  // Plain comparisons: a lookup runs at every decoding step and must not allocate.
  if (featureName == kEncoderStep) return encoderStep_;
  if (featureName == kDecoderStep) return decoderStep_;
  return nullptr;
}

}  // namespace tesselaudio
