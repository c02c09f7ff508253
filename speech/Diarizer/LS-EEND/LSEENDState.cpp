#include "speech/Diarizer/LS-EEND/LSEENDState.h"

#include <array>
#include <utility>

#include "speech/Shared/ANEMemoryUtils.h"
#include "speech/Shared/MLMultiArrayExtensions.h"

namespace tesselaudio {

namespace {

using platform::MLMultiArray;
using platform::MLMultiArrayDataType;
using Array = std::shared_ptr<MLMultiArray>;

Array zeroed(const std::vector<int64_t>& shape) {
  return ANEMemoryUtils::createAlignedArray(shape, MLMultiArrayDataType::float32, true);
}

Array copied(const MLMultiArray& from) {
  auto to = ANEMemoryUtils::createAlignedArray(from.shape(), from.dataType(), true);
  ANEMemoryUtils::strideAwareCopy(from, *to);
  return to;
}

std::array<MLMultiArray*, 6> arraysOf(const LSEENDState& state) {
  return {state.encRetKv.get(),  state.encRetScale.get(), state.encConvCache.get(),
          state.cnnWindow.get(), state.decRetKv.get(),    state.decRetScale.get()};
}

}  // namespace

LSEENDState::LSEENDState(Array encRetKv, Array encRetScale, Array encConvCache, Array cnnWindow, Array decRetKv,
                         Array decRetScale)
    : encRetKv(std::move(encRetKv)),
      encRetScale(std::move(encRetScale)),
      encConvCache(std::move(encConvCache)),
      cnnWindow(std::move(cnnWindow)),
      decRetKv(std::move(decRetKv)),
      decRetScale(std::move(decRetScale)) {}

LSEENDState::LSEENDState(const LSEENDMetadata& from) {
  from.checkLimits();
  const int64_t head = from.headDim();
  encRetKv = zeroed({from.encNLayers, 1, from.nHeads, head, head});
  encRetScale = zeroed({from.encNLayers, 1});
  encConvCache = zeroed({from.encNLayers, 1, from.convKernelSize, from.nUnits});
  cnnWindow = zeroed({1, from.nUnits, 2 * from.convDelay});
  decRetKv = zeroed({from.decNLayers, from.maxNspks, from.nHeads, head, head});
  decRetScale = zeroed({from.decNLayers, 1});
}

LSEENDState LSEENDState::copy() const {
  return LSEENDState(copied(*encRetKv), copied(*encRetScale), copied(*encConvCache), copied(*cnnWindow),
                     copied(*decRetKv), copied(*decRetScale));
}

void LSEENDState::copy(const LSEENDState& to) const {
  const auto sources = arraysOf(*this);
  const auto targets = arraysOf(to);
  for (std::size_t i = 0; i < sources.size(); ++i) ANEMemoryUtils::strideAwareCopy(*sources[i], *targets[i]);
}

void LSEENDState::reset() const {
  for (MLMultiArray* array : arraysOf(*this)) resetData(*array, 0.0f);
}

}  // namespace tesselaudio
