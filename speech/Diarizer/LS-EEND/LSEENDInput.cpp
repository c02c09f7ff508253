#include "speech/Diarizer/LS-EEND/LSEENDInput.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include <fmt/format.h>

#include "platform/ml/MLFeatureValue.h"
#include "speech/Diarizer/LS-EEND/LSEENDError.h"
#include "speech/Shared/ANEMemoryUtils.h"

namespace tesselaudio {

namespace {

using platform::MLMultiArray;
using platform::MLMultiArrayDataType;

LSEENDState stateFor(const LSEENDMetadata& metadata, std::optional<LSEENDState> state) {
  metadata.checkLimits();
  if (state) return std::move(*state);
  return LSEENDState(metadata);
}

// Copies `values` into the dense array, or refuses a buffer of another length.
void fill(MLMultiArray& array, std::span<const float> values) {
  if (static_cast<int64_t>(values.size()) != array.count()) {
    throw LSEENDError::invalidInputSize(
        fmt::format("Input size mismatch: new={} expected={}", values.size(), array.count()));
  }
  if (!values.empty()) std::memcpy(array.dataPointer(), values.data(), values.size_bytes());
}

void checkWarmup(std::int64_t frames) {
  if (frames < 0) throw LSEENDError::invalidInputSize(fmt::format("Warm-up frames must not be negative: {}", frames));
}

}  // namespace

LSEENDInput::LSEENDInput(const LSEENDMetadata& from, std::optional<LSEENDState> state)
    : state_(stateFor(from, std::move(state))),
      melFeatures_(std::make_shared<MLMultiArray>(std::vector<int64_t>{1, from.melFrames(), from.nMels},
                                                  MLMultiArrayDataType::float32)),
      decoderMask_(std::make_shared<MLMultiArray>(std::vector<int64_t>{from.chunkSize}, MLMultiArrayDataType::float32)),
      outputProbs_(ANEMemoryUtils::createAlignedArray({1, from.chunkSize, from.maxSpeakers},
                                                      MLMultiArrayDataType::float32, false)) {
  bindOutputBackings();
}

std::set<std::string> LSEENDInput::featureNames() const {
  return {"features", "enc_kv", "enc_scale", "enc_conv_cache", "cnn_window", "dec_kv", "dec_scale", "valid_mask"};
}

std::shared_ptr<const platform::MLFeatureValue> LSEENDInput::featureValue(const std::string& featureName) const {
  const std::shared_ptr<MLMultiArray>* array = nullptr;
  if (featureName == "features") array = &melFeatures_;
  else if (featureName == "enc_kv") array = &state_.encRetKv;
  else if (featureName == "enc_scale") array = &state_.encRetScale;
  else if (featureName == "enc_conv_cache") array = &state_.encConvCache;
  else if (featureName == "cnn_window") array = &state_.cnnWindow;
  else if (featureName == "dec_kv") array = &state_.decRetKv;
  else if (featureName == "dec_scale") array = &state_.decRetScale;
  else if (featureName == "valid_mask") array = &decoderMask_;
  if (array == nullptr) return nullptr;
  return std::make_shared<const platform::MLFeatureValue>(*array);
}

void LSEENDInput::loadInputs(std::span<const float> melFeatures, std::span<const float> decoderMask,
                             std::optional<std::int64_t> warmupFrames) {
  fill(*decoderMask_, decoderMask);
  fill(*melFeatures_, melFeatures);
  if (warmupFrames) {
    checkWarmup(*warmupFrames);
    warmupFrames_ = *warmupFrames;
  } else {
    warmupFrames_ = std::count(decoderMask.begin(), decoderMask.end(), 0.0f);
  }
}

void LSEENDInput::resetState() { state_.reset(); }

void LSEENDInput::setState(LSEENDState state) {
  state_ = std::move(state);
  bindOutputBackings();
}

void LSEENDInput::setWarmupFrames(std::int64_t frames) {
  checkWarmup(frames);
  warmupFrames_ = frames;
}

void LSEENDInput::bindOutputBackings() {
  predictionOptions_.outputBackings = {
      {"probs", outputProbs_},
      {"enc_kv_new", state_.encRetKv},
      {"enc_scale_new", state_.encRetScale},
      {"enc_conv_cache_new", state_.encConvCache},
      {"cnn_window_new", state_.cnnWindow},
      {"dec_kv_new", state_.decRetKv},
      {"dec_scale_new", state_.decRetScale},
  };
}

}  // namespace tesselaudio
