#include "speech/Shared/MLMultiArrayExtensions.h"

#include <algorithm>
#include <cstring>

namespace tesselaudio {
namespace {

using platform::MLMultiArray;
using platform::MLMultiArrayDataType;

template <typename T>
void fill(MLMultiArray& array, T value) {
  auto* data = static_cast<T*>(array.dataPointer());
  std::fill(data, data + array.count(), value);
}

// Fast paths for dense memory; false when the element type needs element-by-element writes.
bool resetDense(MLMultiArray& array, platform::NSNumber to) {
  if (to == platform::NSNumber(0)) {
    std::memset(array.dataPointer(), 0, static_cast<size_t>(array.count()) * platform::elementSize(array.dataType()));
    return true;
  }
  switch (array.dataType()) {
    case MLMultiArrayDataType::int32: fill<int32_t>(array, to.int32Value()); return true;
    case MLMultiArrayDataType::float64: fill<double>(array, to.doubleValue()); return true;
    case MLMultiArrayDataType::float32: fill<float>(array, to.floatValue()); return true;
    case MLMultiArrayDataType::float16: return false;
  }
  return false;
}

}  // namespace

void prefetchToNeuralEngine(const MLMultiArray& array) {
  if (array.count() <= 0) return;
  [[maybe_unused]] volatile double first = array[0].doubleValue();
  [[maybe_unused]] volatile double last = array[array.count() - 1].doubleValue();
}

void resetData(MLMultiArray& array, platform::NSNumber to) {
  if (array.isContiguous() && resetDense(array, to)) return;
  for (int64_t i = 0; i < array.count(); ++i) array.set(i, to);
}

void copyData(MLMultiArray& array, const MLMultiArray& from) {
  if (array.dataType() == from.dataType() && array.shape() == from.shape() && array.strides() == from.strides() &&
      array.isContiguous()) {
    std::memmove(array.dataPointer(), from.dataPointer(),
                 static_cast<size_t>(array.count()) * platform::elementSize(array.dataType()));
    return;
  }
  // A smaller source is read only as far as it reaches.
  const int64_t count = std::min(array.count(), from.count());
  for (int64_t i = 0; i < count; ++i) array.set(i, from[i]);
}

}  // namespace tesselaudio
