#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/ml/MLMultiArray.h"
#include "speech/Shared/ANEMemoryError.h"

// Model buffers laid out for the accelerator: the first element 64-byte aligned, and the innermost
// rows padded to a multiple of 16 elements. Padded strides of a shape (d0, ..., dn-1): the
// innermost stride is 1, the next is dn-1 rounded up to a multiple of 16, and each outer stride is
// the next stride times the next dimension: (2, 3, 20) has strides (96, 32, 1).
//
// Stateless functions, safe from any thread; the arrays themselves are not locked.
namespace tesselaudio::ANEMemoryUtils {

inline constexpr int aneAlignment = 64;  // bytes
inline constexpr int aneTileSize = 16;   // elements

// The padded strides of `shape`; empty for an empty shape.
std::vector<int64_t> calculateOptimalStrides(const std::vector<int64_t>& shape);

// Bytes per element: 2 for float16, 8 for float64, 4 otherwise.
size_t getElementSize(platform::MLMultiArrayDataType dataType);

// A new array of `shape` with padded strides on 64-byte-aligned memory of its own, sized
// stride(0) x d0 elements rounded up to a multiple of 64 bytes (at least 64). The memory is zeroed
// only when `zeroClear` is set. Throws ANEMemoryError: invalidShape for a negative dimension,
// allocationFailed when the memory cannot be had; the model runtime's MLModelError when it refuses
// the array (the memory is then freed).
std::shared_ptr<platform::MLMultiArray> createAlignedArray(const std::vector<int64_t>& shape,
                                                           platform::MLMultiArrayDataType dataType,
                                                           bool zeroClear);

// Copies every element of `from` into `to`, honouring both arrays' strides: one block move when the
// strides are equal, else one move per innermost row. An empty source shape copies nothing.
// Throws ANEMemoryError and copies nothing when the shapes differ or an innermost stride is not 1
// (invalidShape) or the data types differ (unsupportedDataType).
void strideAwareCopy(const platform::MLMultiArray& from, platform::MLMultiArray& to);

// A view of `shape` on the memory of `from`, starting `offset` elements after its data pointer,
// with `strides` (the padded strides of the shape when none are given) and the source's data type.
// The view owns nothing: `from` must outlive it, and writes through it change `from`.
// Throws ANEMemoryError(invalidShape) when the view would reach past the source's stride(0) x d0
// elements, for a negative offset, dimension or stride, or strides of another rank.
std::shared_ptr<platform::MLMultiArray> createZeroCopyView(
    const platform::MLMultiArray& from, int64_t offset, const std::vector<int64_t>& shape,
    const std::optional<std::vector<int64_t>>& strides = std::nullopt);

// A new aligned float16 array of the same shape (padded strides) holding each element of `array`
// converted, by logical position whatever the two arrays' strides.
// Throws ANEMemoryError(unsupportedDataType) when `array` is not float32, and the errors of
// createAlignedArray.
std::shared_ptr<platform::MLMultiArray> convertToFloat16(const platform::MLMultiArray& array);

}  // namespace tesselaudio::ANEMemoryUtils
