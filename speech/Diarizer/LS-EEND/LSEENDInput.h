#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>

#include "platform/ml/MLFeatureProvider.h"
#include "platform/ml/MLMultiArray.h"
#include "platform/ml/MLPredictionOptions.h"
#include "speech/Diarizer/LS-EEND/LSEENDMetadata.h"
#include "speech/Diarizer/LS-EEND/LSEENDState.h"

namespace tesselaudio {

// The inputs of one LS-EEND model call, handed to the model as its feature provider:
//   "features"        [1, melFrames, nMels]   one feature chunk, frame by frame
//   "valid_mask"      [chunkSize]             1 for output frames that count, 0 for warm-up
//   "enc_kv", "enc_scale", "enc_conv_cache", "cnn_window", "dec_kv", "dec_scale"   the state
// The state's arrays are also the backings of the matching "<name>_new" outputs, and "probs" is
// written into outputProbs, so each call leaves the next state where the following call reads it.
// Not locked: its owner keeps it unchanged while a model call reads it.
class LSEENDInput : public platform::MLFeatureProvider {
 public:
  // Fresh feature, mask and probability arrays for the metadata; `state` is adopted as it is (its
  // arrays shared), or a zeroed state is made.
  // Throws LSEENDError::initializationFailed when the metadata gives no input (checkLimits), or the
  // allocator's error.
  explicit LSEENDInput(const LSEENDMetadata& from, std::optional<LSEENDState> state = std::nullopt);
  LSEENDInput(const LSEENDInput&) = delete;
  LSEENDInput& operator=(const LSEENDInput&) = delete;

  // The eight input names.
  std::set<std::string> featureNames() const override;
  // The array bound to an input name (no copy); null for any other name.
  std::shared_ptr<const platform::MLFeatureValue> featureValue(const std::string& featureName) const override;

  // Copies `decoderMask`, then `melFeatures`, into the input arrays, then sets warmupFrames to
  // `warmupFrames` or, when none is given, to the number of zeros in the mask.
  // Throws LSEENDError::invalidInputSize "Input size mismatch: new=<given> expected=<array>" for a
  // buffer of the wrong length (the mask stays copied when the features are the wrong length), or
  // for a negative warm-up count.
  void loadInputs(std::span<const float> melFeatures, std::span<const float> decoderMask,
                  std::optional<std::int64_t> warmupFrames = std::nullopt);

  // Sets every element of the six recurrent arrays to 0, keeping the arrays.
  void resetState();

  const LSEENDState& state() const { return state_; }
  // Adopts `state` and binds its arrays as the output backings.
  void setState(LSEENDState state);

  const std::shared_ptr<platform::MLMultiArray>& melFeatures() const { return melFeatures_; }
  const std::shared_ptr<platform::MLMultiArray>& decoderMask() const { return decoderMask_; }
  // Aligned [1, chunkSize, maxSpeakers]: its rows are padded to 16 values.
  const std::shared_ptr<platform::MLMultiArray>& outputProbs() const { return outputProbs_; }
  const platform::MLPredictionOptions& predictionOptions() const { return predictionOptions_; }

  // Leading output frames of the current chunk that the prediction drops.
  std::int64_t warmupFrames() const { return warmupFrames_; }
  // Throws LSEENDError::invalidInputSize for a negative count.
  void setWarmupFrames(std::int64_t frames);

 private:
  void bindOutputBackings();

  LSEENDState state_;
  std::shared_ptr<platform::MLMultiArray> melFeatures_;
  std::shared_ptr<platform::MLMultiArray> decoderMask_;
  std::shared_ptr<platform::MLMultiArray> outputProbs_;
  platform::MLPredictionOptions predictionOptions_;
  std::int64_t warmupFrames_ = 0;
};

}  // namespace tesselaudio
