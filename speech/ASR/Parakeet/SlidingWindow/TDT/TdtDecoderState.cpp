#include "speech/ASR/Parakeet/SlidingWindow/TDT/TdtDecoderState.h"

#include <cassert>

#include "platform/ml/MLFeatureProvider.h"
#include "platform/ml/MLMultiArray.h"
#include "speech/Shared/ANEMemoryUtils.h"
#include "speech/Shared/MLMultiArrayExtensions.h"

namespace tesselaudio {
namespace {

using platform::MLMultiArray;
using platform::MLMultiArrayDataType;

std::shared_ptr<MLMultiArray> zeroedStateArray(int64_t decoderLayers) {
  auto array = ANEMemoryUtils::createAlignedArray({decoderLayers, 1, TdtDecoderState::kHiddenSize},
                                                  MLMultiArrayDataType::float32, true);
  resetData(*array, platform::NSNumber(0));
  return array;
}

std::shared_ptr<MLMultiArray> copyOf(const MLMultiArray& source) {
  auto copy = std::make_shared<MLMultiArray>(source.shape(), MLMultiArrayDataType::float32);
  copyData(*copy, source);
  return copy;
}

// The named output when it is a multi-array, else null.
std::shared_ptr<MLMultiArray> outputArray(const platform::MLFeatureProvider& output,
                                          const char* name) {
  auto value = output.featureValue(name);
  return value ? value->multiArrayValue() : nullptr;
}

}  // namespace

TdtDecoderState::TdtDecoderState(int64_t decoderLayers) {
  assert(decoderLayers >= 1);
  hiddenState = zeroedStateArray(decoderLayers);
  cellState = zeroedStateArray(decoderLayers);
}

TdtDecoderState TdtDecoderState::make(int64_t decoderLayers) {
  // Thrown, never fatal: a caller without memory for a state fails its one operation.
  return TdtDecoderState(decoderLayers);
}

TdtDecoderState TdtDecoderState::deepCopy(const TdtDecoderState& from) {
  TdtDecoderState copy;
  copy.hiddenState = copyOf(*from.hiddenState);
  copy.cellState = copyOf(*from.cellState);
  copy.lastToken = from.lastToken;
  copy.timeJump = from.timeJump;
  return copy;
}

void TdtDecoderState::update(const platform::MLFeatureProvider& from) {
  if (auto hidden = outputArray(from, "h_out")) hiddenState = std::move(hidden);
  if (auto cell = outputArray(from, "c_out")) cellState = std::move(cell);
}

}  // namespace tesselaudio
