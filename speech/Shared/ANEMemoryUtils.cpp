#include "speech/Shared/ANEMemoryUtils.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform/ml/Float16.h"

namespace tesselaudio::ANEMemoryUtils {
namespace {

using platform::MLMultiArray;
using platform::MLMultiArrayDataType;

constexpr int64_t kSaturated = std::numeric_limits<int64_t>::max();

std::optional<int64_t> checkedMultiply(int64_t a, int64_t b) {
  int64_t product = 0;
  if (__builtin_mul_overflow(a, b, &product)) return std::nullopt;
  return product;
}

std::optional<int64_t> checkedAdd(int64_t a, int64_t b) {
  int64_t sum = 0;
  if (__builtin_add_overflow(a, b, &sum)) return std::nullopt;
  return sum;
}

bool hasNegative(const std::vector<int64_t>& values) {
  for (int64_t v : values) {
    if (v < 0) return true;
  }
  return false;
}

// Padded strides, or none when a product does not fit in 64 bits. REQUIRES: no negative dimension.
std::optional<std::vector<int64_t>> paddedStrides(const std::vector<int64_t>& shape) {
  std::vector<int64_t> strides(shape.size(), 1);
  if (shape.size() < 2) return strides;
  const int64_t innermost = shape.back();
  if (innermost > kSaturated - (aneTileSize - 1)) return std::nullopt;
  strides[shape.size() - 2] = (innermost + aneTileSize - 1) / aneTileSize * aneTileSize;
  for (size_t k = shape.size() - 2; k-- > 0;) {
    const auto stride = checkedMultiply(strides[k + 1], shape[k + 1]);
    if (!stride) return std::nullopt;
    strides[k] = *stride;
  }
  return strides;
}

// stride(0) x d0, the element span the layout claims; 0 for an empty shape.
std::optional<int64_t> claimedElements(const std::vector<int64_t>& shape, const std::vector<int64_t>& strides) {
  if (shape.empty()) return 0;
  return checkedMultiply(strides.front(), shape.front());
}

// One past the furthest element the layout addresses: 0 when a dimension is 0, 1 for a scalar.
std::optional<int64_t> addressedElements(const std::vector<int64_t>& shape, const std::vector<int64_t>& strides) {
  int64_t last = 0;
  for (size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == 0) return 0;
    const auto step = checkedMultiply(shape[i] - 1, strides[i]);
    if (!step) return std::nullopt;
    const auto sum = checkedAdd(last, *step);
    if (!sum) return std::nullopt;
    last = *sum;
  }
  return checkedAdd(last, 1);
}

bool hasZeroDimension(const std::vector<int64_t>& shape) {
  for (int64_t d : shape) {
    if (d == 0) return true;
  }
  return false;
}

std::byte* bytesOf(const MLMultiArray& array) { return static_cast<std::byte*>(array.dataPointer()); }

// Visits every index tuple of the outer dimensions (all but the innermost) in row-major order, the
// last outer index fastest, and hands over the element offset of that row's start in both layouts.
// REQUIRES: a non-empty shape without a zero dimension.
template <typename Visit>
void forEachRow(const std::vector<int64_t>& shape, const std::vector<int64_t>& stridesA,
                const std::vector<int64_t>& stridesB, Visit visit) {
  std::vector<int64_t> index(shape.size() - 1, 0);
  int64_t offsetA = 0;
  int64_t offsetB = 0;
  while (true) {
    visit(offsetA, offsetB);
    size_t k = index.size();
    for (; k > 0; --k) {
      const size_t d = k - 1;
      if (++index[d] < shape[d]) {
        offsetA += stridesA[d];
        offsetB += stridesB[d];
        break;
      }
      offsetA -= (shape[d] - 1) * stridesA[d];
      offsetB -= (shape[d] - 1) * stridesB[d];
      index[d] = 0;
    }
    if (k == 0) return;
  }
}

}  // namespace

std::vector<int64_t> calculateOptimalStrides(const std::vector<int64_t>& shape) {
  if (!hasNegative(shape)) {
    if (auto strides = paddedStrides(shape)) return *strides;
  }
  // Shapes no memory could hold: saturate rather than overflow.
  std::vector<int64_t> strides(shape.size(), 1);
  for (size_t k = 0; k + 1 < shape.size(); ++k) strides[k] = kSaturated;
  return strides;
}

size_t getElementSize(MLMultiArrayDataType dataType) { return platform::elementSize(dataType); }

std::shared_ptr<MLMultiArray> createAlignedArray(const std::vector<int64_t>& shape, MLMultiArrayDataType dataType,
                                                 bool zeroClear) {
  if (hasNegative(shape)) throw ANEMemoryError::invalidShape();
  const auto strides = paddedStrides(shape);
  if (!strides) throw ANEMemoryError::allocationFailed();
  const auto elements = claimedElements(shape, *strides);
  if (!elements) throw ANEMemoryError::allocationFailed();
  const auto bytes = checkedMultiply(*elements, static_cast<int64_t>(getElementSize(dataType)));
  if (!bytes || *bytes > kSaturated - aneAlignment) throw ANEMemoryError::allocationFailed();
  const size_t allocation = std::max<size_t>(static_cast<size_t>((*bytes + aneAlignment - 1) / aneAlignment * aneAlignment),
                                             aneAlignment);

  void* memory = nullptr;
  if (posix_memalign(&memory, aneAlignment, allocation) != 0 || memory == nullptr) {
    throw ANEMemoryError::allocationFailed();
  }
  if (zeroClear) std::memset(memory, 0, allocation);
  try {
    return std::make_shared<MLMultiArray>(memory, shape, dataType, *strides, [](void* bytes) { std::free(bytes); });
  } catch (...) {
    // A refused array never calls its deallocator.
    std::free(memory);
    throw;
  }
}

void strideAwareCopy(const MLMultiArray& from, MLMultiArray& to) {
  const auto& shape = from.shape();
  if (shape.empty()) return;
  if (shape != to.shape()) throw ANEMemoryError::invalidShape();
  if (from.dataType() != to.dataType()) throw ANEMemoryError::unsupportedDataType();
  if (shape.back() > 1 && (from.strides().back() != 1 || to.strides().back() != 1)) {
    throw ANEMemoryError::invalidShape();
  }
  if (hasZeroDimension(shape)) return;

  const size_t elementBytes = getElementSize(from.dataType());
  if (from.strides() == to.strides()) {
    // The span between the first and the last element, so that a tight caller buffer is never overrun.
    const auto elements = addressedElements(shape, from.strides());
    std::memmove(bytesOf(to), bytesOf(from), static_cast<size_t>(*elements) * elementBytes);
    return;
  }
  const size_t rowBytes = static_cast<size_t>(shape.back()) * elementBytes;
  forEachRow(shape, from.strides(), to.strides(), [&](int64_t fromOffset, int64_t toOffset) {
    std::memmove(bytesOf(to) + toOffset * elementBytes, bytesOf(from) + fromOffset * elementBytes, rowBytes);
  });
}

std::shared_ptr<MLMultiArray> createZeroCopyView(const MLMultiArray& from, int64_t offset,
                                                 const std::vector<int64_t>& shape,
                                                 const std::optional<std::vector<int64_t>>& strides) {
  if (hasNegative(shape)) throw ANEMemoryError::invalidShape();
  std::vector<int64_t> viewStrides;
  if (strides) {
    if (strides->size() != shape.size() || hasNegative(*strides)) throw ANEMemoryError::invalidShape();
    viewStrides = *strides;
  } else {
    auto padded = paddedStrides(shape);
    if (!padded) throw ANEMemoryError::invalidShape();
    viewStrides = std::move(*padded);
  }
  if (offset < 0) throw ANEMemoryError::invalidShape();

  // Caller strides may address beyond stride(0) x d0; the view must stay inside both measures.
  const auto claimed = claimedElements(shape, viewStrides);
  const auto addressed = addressedElements(shape, viewStrides);
  const auto available = claimedElements(from.shape(), from.strides());
  if (!claimed || !addressed || !available) throw ANEMemoryError::invalidShape();
  const auto end = checkedAdd(offset, std::max(*claimed, *addressed));
  if (!end || *end > *available) throw ANEMemoryError::invalidShape();

  void* start = bytesOf(from) + offset * static_cast<int64_t>(getElementSize(from.dataType()));
  return std::make_shared<MLMultiArray>(start, shape, from.dataType(), std::move(viewStrides));
}

std::shared_ptr<MLMultiArray> convertToFloat16(const MLMultiArray& array) {
  if (array.dataType() != MLMultiArrayDataType::float32) throw ANEMemoryError::unsupportedDataType();
  auto result = createAlignedArray(array.shape(), MLMultiArrayDataType::float16, false);
  const int64_t count = hasZeroDimension(array.shape()) ? 0 : array.count();
  const auto* source = static_cast<const float*>(array.dataPointer());
  auto* destination = static_cast<uint16_t*>(result->dataPointer());
  if (array.isContiguous() && result->isContiguous()) {
    platform::convertFloatToFloat16(source, destination, static_cast<size_t>(count));
    return result;
  }
  for (int64_t i = 0; i < count; ++i) {
    destination[result->elementOffset(i)] = platform::float16FromFloat(source[array.elementOffset(i)]);
  }
  return result;
}

}  // namespace tesselaudio::ANEMemoryUtils
