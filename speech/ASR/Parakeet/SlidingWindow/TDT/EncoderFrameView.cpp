#include "speech/ASR/Parakeet/SlidingWindow/TDT/EncoderFrameView.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "platform/dsp/VectorOps.h"
#include "platform/ml/MLMultiArray.h"
#include "speech/ASR/Parakeet/ASRError.h"
#include "speech/ASR/Parakeet/SlidingWindow/TDT/MultiArrayDescription.h"

namespace tesselaudio {
namespace {

using platform::MLMultiArrayDataType;
using MultiArrayDescription::bracketedList;
using MultiArrayDescription::dataTypeName;

bool fitsInt32(int64_t value) {
  return value >= std::numeric_limits<int32_t>::min() && value <= std::numeric_limits<int32_t>::max();
}

void requireInt32(int64_t value, const char* what) {
  if (!fitsInt32(value)) throw ASRError::processingFailed(std::string(what) + " exceeds supported range");
}

}  // namespace

EncoderFrameView::EncoderFrameView(std::shared_ptr<platform::MLMultiArray> encoderOutput,
                                   int64_t validLength, int64_t expectedHiddenSize)
    : hiddenSize_(expectedHiddenSize), array_(std::move(encoderOutput)) {
  assert(array_);
  const std::vector<int64_t>& shape = array_->shape();
  if (shape.size() != 3) throw ASRError::processingFailed("Invalid encoder output shape: " + bracketedList(shape));
  if (shape[0] != 1) {
    throw ASRError::processingFailed("Unsupported batch dimension: " + std::to_string(shape[0]));
  }
  if (shape[1] == expectedHiddenSize) {
    hiddenAxis_ = 1;
    timeAxis_ = 2;
  } else if (shape[2] == expectedHiddenSize) {
    hiddenAxis_ = 2;
    timeAxis_ = 1;
  } else {
    throw ASRError::processingFailed("Encoder hidden size mismatch: " + bracketedList(shape) + ", expected " +
                                     std::to_string(expectedHiddenSize));
  }
  const std::vector<int64_t>& strides = array_->strides();
  // A negative stride would send frame reads before the array's memory.
  if (std::any_of(strides.begin(), strides.end(), [](int64_t s) { return s < 0; })) {
    throw ASRError::processingFailed("Unsupported negative stride: " + bracketedList(strides));
  }
  timeStride_ = strides[static_cast<size_t>(timeAxis_)];
  hiddenStride_ = strides[static_cast<size_t>(hiddenAxis_)];
  count_ = std::min(shape[static_cast<size_t>(timeAxis_)], validLength);
  if (count_ < 1) throw ASRError::processingFailed("Encoder output has no frames");
  if (array_->dataType() != MLMultiArrayDataType::float32) {
    throw ASRError::processingFailed("Unsupported encoder output type: " + dataTypeName(array_->dataType()));
  }
  basePointer_ = static_cast<const float*>(array_->dataPointer());
}

void EncoderFrameView::copyFrame(int64_t at, float* into, int64_t destinationStride) const {
  if (at < 0 || at >= count_) {
    throw ASRError::processingFailed("Encoder frame index out of range: " + std::to_string(at));
  }
  const float* start = basePointer_ + at * timeStride_ + timeBaseOffset_;
  if (hiddenStride_ == 0) throw ASRError::processingFailed("Invalid hidden stride: 0");
  requireInt32(hiddenSize_, "Hidden size");
  requireInt32(hiddenStride_, "Hidden stride");
  requireInt32(destinationStride, "Destination stride");
  if (hiddenStride_ == 1 && destinationStride == 1) {
    if (start != into) std::memmove(into, start, static_cast<size_t>(hiddenSize_) * sizeof(float));
    return;
  }
  platform::dsp::stridedCopy(start, static_cast<int>(hiddenStride_), into, static_cast<int>(destinationStride),
                             static_cast<int>(hiddenSize_));
}

}  // namespace tesselaudio
