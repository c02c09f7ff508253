#pragma once

#include <memory>
#include <set>
#include <string>

#include "platform/ml/MLFeatureProvider.h"

namespace tesselaudio {

// The joint network's inputs for a whole decode call: "encoder_step" and "decoder_step", served
// from two arrays held by reference, so that values written into them are what the next
// prediction reads, without a new provider. Lives for one decode call, on that call's thread.
class ReusableJointInputProvider : public platform::MLFeatureProvider {
 public:
  // REQUIRES: both arrays are not null.
  ReusableJointInputProvider(std::shared_ptr<platform::MLMultiArray> encoderStep,
                             std::shared_ptr<platform::MLMultiArray> decoderStep);

  const std::shared_ptr<platform::MLMultiArray>& encoderStep() const;
  const std::shared_ptr<platform::MLMultiArray>& decoderStep() const;

  // "decoder_step" and "encoder_step".
  std::set<std::string> featureNames() const override;
  // The array of either name wrapped once at construction (the same value object every time);
  // null for any other name.
  std::shared_ptr<const platform::MLFeatureValue> featureValue(
      const std::string& featureName) const override;

 private:
  std::shared_ptr<const platform::MLFeatureValue> encoderStep_;
  std::shared_ptr<const platform::MLFeatureValue> decoderStep_;
};

}  // namespace tesselaudio
