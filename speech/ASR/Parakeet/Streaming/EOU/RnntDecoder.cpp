#include "speech/ASR/Parakeet/Streaming/EOU/RnntDecoder.h"

#include <algorithm>
#include <cassert>
#include <map>
#include <string>
#include <utility>

#include <fmt/format.h>

#include "platform/ml/MLDictionaryFeatureProvider.h"
#include "platform/ml/MLModel.h"
#include "speech/ASR/Parakeet/ASRError.h"
#include "speech/ASR/Parakeet/Streaming/EOU/RnntDecoderError.h"

namespace tesselaudio {
namespace {

using platform::MLMultiArray;
using platform::MLMultiArrayDataType;
using Arrays = std::map<std::string, std::shared_ptr<MLMultiArray>>;

std::shared_ptr<MLMultiArray> int32Array(std::vector<std::int64_t> shape, std::int32_t value) {
  auto array = std::make_shared<MLMultiArray>(std::move(shape), MLMultiArrayDataType::int32);
  *static_cast<std::int32_t*>(array->dataPointer()) = value;
  return array;
}

// The decoder's inputs; the fused model takes them without "target_length".
Arrays prepareDecoderInput(std::int32_t lastToken, const std::shared_ptr<MLMultiArray>& h,
                           const std::shared_ptr<MLMultiArray>& c, bool withTargetLength) {
  Arrays inputs{{"targets", int32Array({1, 1}, lastToken)}, {"h_in", h}, {"c_in", c}};
  if (withTargetLength) inputs.emplace("target_length", int32Array({1}, 1));
  return inputs;
}

std::shared_ptr<MLMultiArray> requireOutput(const platform::MLFeatureProvider& output, const std::string& name) {
  auto value = output.featureValue(name);
  std::shared_ptr<MLMultiArray> array = value ? value->multiArrayValue() : nullptr;
  if (!array) throw RnntDecoderError::missingOutput(name);
  return array;
}

// The decoder only reads [1, D, T] float32 through its strides; anything else is refused before a
// single element is read.
void checkEncoderOutput(const MLMultiArray& encoderOutput, std::int64_t skipFrames) {
  if (encoderOutput.dataType() != MLMultiArrayDataType::float32) {
    throw ASRError::processingFailed(fmt::format("RNNT encoder output must be float32, got data type {}",
                                                 static_cast<int>(encoderOutput.dataType())));
  }
  if (encoderOutput.shape().size() != 3) {
    throw ASRError::processingFailed(
        fmt::format("RNNT encoder output must have rank 3 [1, D, T], got rank {}", encoderOutput.shape().size()));
  }
  if (encoderOutput.shape()[0] < 1) {
    throw ASRError::processingFailed("RNNT encoder output has an empty batch dimension");
  }
  if (skipFrames < 0) {
    throw ASRError::processingFailed(fmt::format("RNNT skipFrames must not be negative, got {}", skipFrames));
  }
}

}  // namespace

RnntDecoder::RnntDecoder(std::shared_ptr<const platform::MLModel> decoderModel,
                         std::shared_ptr<const platform::MLModel> jointModel,
                         std::shared_ptr<const platform::MLModel> fusedModel)
    : decoderModel_(std::move(decoderModel)), jointModel_(std::move(jointModel)), fusedModel_(std::move(fusedModel)) {
  assert(decoderModel_ && jointModel_);
  resetState();
}

void RnntDecoder::resetState() {
  hState_ = makeZeroState(layers, hiddenSize);
  cState_ = makeZeroState(layers, hiddenSize);
  lastToken_ = blankId;
}

void RnntDecoder::restoreState(State state) {
  assert(state.hState && state.cState);
  hState_ = std::move(state.hState);
  cState_ = std::move(state.cState);
  lastToken_ = state.lastToken;
}

RnntDecoder::DecodeResult RnntDecoder::decodeWithEOU(const MLMultiArray& encoderOutput, std::int64_t /*timeOffset*/,
                                                     std::int64_t skipFrames,
                                                     std::optional<std::int64_t> validOutLen) {
  checkEncoderOutput(encoderOutput, skipFrames);
  const std::int64_t frames = encoderOutput.shape()[2];
  const std::int64_t hiddenDim = encoderOutput.shape()[1];
  const std::int64_t endFrame = validOutLen ? std::min(frames, *validOutLen) : frames;

  DecodeResult result;
  if (endFrame <= skipFrames) return result;
  for (std::int64_t t = skipFrames; t < endFrame; ++t) {
    const auto encoderStep = extractEncoderStep(encoderOutput, t, hiddenDim);
    for (int attempt = 0; attempt < maxSymbolsPerStep; ++attempt) {
      StepResult step = fusedModel_ ? runFusedStep(*fusedModel_, encoderStep) : runReferenceStep(encoderStep);
      if (step.tokenId == eouId) {
        result.eouDetected = true;
        return result;
      }
      if (step.tokenId == blankId) break;
      result.tokenIds.push_back(step.tokenId);
      result.tokenFrames.push_back(t);
      lastToken_ = step.tokenId;
      hState_ = std::move(step.hState);
      cState_ = std::move(step.cState);
    }
  }
  return result;
}

std::shared_ptr<MLMultiArray> RnntDecoder::makeZeroState(std::int64_t layers, std::int64_t hiddenSize) {
  // New arrays start zero-filled.
  return std::make_shared<MLMultiArray>(std::vector<std::int64_t>{layers, 1, hiddenSize},
                                        MLMultiArrayDataType::float32);
}

std::shared_ptr<MLMultiArray> RnntDecoder::extractEncoderStep(const MLMultiArray& from, std::int64_t timeIndex,
                                                              std::int64_t hiddenDim) {
  auto step = std::make_shared<MLMultiArray>(std::vector<std::int64_t>{1, hiddenDim, 1}, MLMultiArrayDataType::float32);
  const auto* source = static_cast<const float*>(from.dataPointer());
  auto* target = static_cast<float*>(step->dataPointer());
  const std::int64_t frameStride = from.strides()[2];
  const std::int64_t featureStride = from.strides()[1];
  for (std::int64_t d = 0; d < hiddenDim; ++d) target[d] = source[timeIndex * frameStride + d * featureStride];
  return step;
}

std::shared_ptr<MLMultiArray> RnntDecoder::sliceDecoderStep(const std::shared_ptr<MLMultiArray>& decoderOutput) {
  const auto& shape = decoderOutput->shape();
  if (shape.size() != 3 || shape[2] < 2) return decoderOutput;
  const std::int64_t hidden = shape[1];
  const std::int64_t last = shape[2] - 1;
  auto step = std::make_shared<MLMultiArray>(std::vector<std::int64_t>{1, hidden, 1}, MLMultiArrayDataType::float32);
  auto* target = static_cast<float*>(step->dataPointer());
  if (decoderOutput->dataType() == MLMultiArrayDataType::float32) {
    const auto* source = static_cast<const float*>(decoderOutput->dataPointer());
    const auto& strides = decoderOutput->strides();
    for (std::int64_t h = 0; h < hidden; ++h) target[h] = source[last * strides[2] + h * strides[1]];
  } else {
    // Another element type is converted element by element rather than misread as float32.
    for (std::int64_t h = 0; h < hidden; ++h) target[h] = (*decoderOutput)[{0, h, last}].floatValue();
  }
  return step;
}

RnntDecoder::StepResult RnntDecoder::collectStep(const platform::MLFeatureProvider& tokenOutput,
                                                 const platform::MLFeatureProvider& stateOutput) {
  const auto tokenId = requireOutput(tokenOutput, "token_id");
  StepResult step;
  step.hState = requireOutput(stateOutput, "h_out");
  step.cState = requireOutput(stateOutput, "c_out");
  step.tokenId = (*tokenId)[0].int32Value();
  return step;
}

RnntDecoder::StepResult RnntDecoder::runReferenceStep(const std::shared_ptr<MLMultiArray>& encoderStep) const {
  const auto decoded = decoderModel_->prediction(
      platform::MLDictionaryFeatureProvider(prepareDecoderInput(lastToken_, hState_, cState_, true)));
  const auto decoderStep = sliceDecoderStep(requireOutput(*decoded, "decoder"));
  const auto joined = jointModel_->prediction(
      platform::MLDictionaryFeatureProvider(Arrays{{"encoder_step", encoderStep}, {"decoder_step", decoderStep}}));
  return collectStep(*joined, *decoded);
}

RnntDecoder::StepResult RnntDecoder::runFusedStep(const platform::MLModel& fused,
                                                  const std::shared_ptr<MLMultiArray>& encoderStep) const {
  Arrays inputs = prepareDecoderInput(lastToken_, hState_, cState_, false);
  inputs.emplace("encoder_step", encoderStep);
  const auto output = fused.prediction(platform::MLDictionaryFeatureProvider(inputs));
  return collectStep(*output, *output);
}

}  // namespace tesselaudio
