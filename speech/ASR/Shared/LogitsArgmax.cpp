#include "speech/ASR/Shared/LogitsArgmax.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/ml/Float16.h"
#include "platform/ml/MLMultiArray.h"
#include "platform/sys/InvalidArgumentError.h"

namespace tesselaudio::LogitsArgmax {
namespace {

using platform::MLMultiArray;
using platform::MLMultiArrayDataType;

// Where the rows of batch entry 0 lie.
struct Layout {
  size_t rows = 0;  // frames the array holds
  size_t width = 0;
  int64_t rowStride = 0;
  int64_t valueStride = 1;
};

Layout layoutOf(const MLMultiArray& logits) {
  const auto& shape = logits.shape();
  if (shape.size() < 3) {
    throw platform::InvalidArgumentError(
        "logits", "an array of shape [batch, frames, vocabulary] is needed, not one of rank " + std::to_string(shape.size()));
  }
  const auto& strides = logits.strides();
  return {.rows = shape[0] > 0 ? static_cast<size_t>(shape[1]) : 0,
          .width = static_cast<size_t>(shape[2]),
          .rowStride = strides[1],
          .valueStride = strides[2]};
}

bool readsInPlace(const MLMultiArray& logits, const Layout& layout, MLMultiArrayDataType type) {
  return logits.dataType() == type && (layout.valueStride == 1 || layout.width <= 1);
}

// Element `offset` of the array as what its type holds; double keeps int32 and float64 exact.
double valueAt(const MLMultiArray& logits, int64_t offset) {
  const void* data = logits.dataPointer();
  switch (logits.dataType()) {
    case MLMultiArrayDataType::float16:
      return platform::floatFromFloat16(static_cast<const uint16_t*>(data)[offset]);
    case MLMultiArrayDataType::float32:
      return static_cast<const float*>(data)[offset];
    case MLMultiArrayDataType::float64:
      return static_cast<const double*>(data)[offset];
    case MLMultiArrayDataType::int32:
      return static_cast<const int32_t*>(data)[offset];
  }
  return 0;
}

// The lowest index of the largest value; 0 for an empty row.
template <class T>
int argmax(const T* row, size_t width) {
  size_t best = 0;
  for (size_t i = 1; i < width; ++i) {
    if (row[i] > row[best]) best = i;
  }
  return static_cast<int>(best);
}

template <class T>
void readRow(const MLMultiArray& logits, const Layout& layout, size_t t, T* out) {
  const int64_t start = static_cast<int64_t>(t) * layout.rowStride;
  for (size_t v = 0; v < layout.width; ++v) {
    out[v] = static_cast<T>(valueAt(logits, start + static_cast<int64_t>(v) * layout.valueStride));
  }
}

}  // namespace

std::vector<int> argmaxPerFrame(const MLMultiArray& logits, int frames) {
  if (frames < 0) throw platform::InvalidArgumentError("frames", "a frame count cannot be negative, got " + std::to_string(frames));
  const Layout layout = layoutOf(logits);
  const size_t rows = std::min(static_cast<size_t>(frames), layout.rows);
  std::vector<int> ids;
  ids.reserve(rows);
  if (rows == 0) return ids;

  if (readsInPlace(logits, layout, MLMultiArrayDataType::float32)) {
    const auto* data = static_cast<const float*>(logits.dataPointer());
    for (size_t t = 0; t < rows; ++t) ids.push_back(argmax(data + static_cast<int64_t>(t) * layout.rowStride, layout.width));
  } else if (readsInPlace(logits, layout, MLMultiArrayDataType::float16)) {
    // One row at a time through a buffer that stays in cache.
    const auto* data = static_cast<const uint16_t*>(logits.dataPointer());
    std::vector<float> row(layout.width);
    for (size_t t = 0; t < rows; ++t) {
      platform::convertFloat16ToFloat(data + static_cast<int64_t>(t) * layout.rowStride, row.data(), layout.width);
      ids.push_back(argmax(row.data(), layout.width));
    }
  } else {
    std::vector<double> row(layout.width);
    for (size_t t = 0; t < rows; ++t) {
      readRow(logits, layout, t, row.data());
      ids.push_back(argmax(row.data(), layout.width));
    }
  }
  return ids;
}

std::vector<std::vector<float>> leadingRows(const MLMultiArray& logits, int count) {
  const Layout layout = layoutOf(logits);
  const size_t rows = count > 0 ? std::min(static_cast<size_t>(count), layout.rows) : 0;
  std::vector<std::vector<float>> result(rows, std::vector<float>(layout.width));
  const bool float32 = readsInPlace(logits, layout, MLMultiArrayDataType::float32);
  const bool float16 = readsInPlace(logits, layout, MLMultiArrayDataType::float16);
  for (size_t t = 0; t < rows; ++t) {
    const int64_t start = static_cast<int64_t>(t) * layout.rowStride;
    if (float32) {
      const auto* row = static_cast<const float*>(logits.dataPointer()) + start;
      std::copy(row, row + layout.width, result[t].begin());
    } else if (float16) {
      platform::convertFloat16ToFloat(static_cast<const uint16_t*>(logits.dataPointer()) + start, result[t].data(),
                                      layout.width);
    } else {
      readRow(logits, layout, t, result[t].data());
    }
  }
  return result;
}

}  // namespace tesselaudio::LogitsArgmax
