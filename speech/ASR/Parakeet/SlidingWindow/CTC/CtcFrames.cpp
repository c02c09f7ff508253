#include "speech/ASR/Parakeet/SlidingWindow/CTC/CtcFrames.h"

#include <cstddef>
#include <cstdint>

#include "platform/ml/Float16.h"
#include "platform/ml/MLMultiArray.h"

namespace tesselaudio::detail {
namespace {

using platform::MLMultiArrayDataType;

float elementAt(const void* data, MLMultiArrayDataType type, int64_t offset) {
  switch (type) {
    case MLMultiArrayDataType::float16:
      return platform::floatFromFloat16(static_cast<const uint16_t*>(data)[offset]);
    case MLMultiArrayDataType::float32:
      return static_cast<const float*>(data)[offset];
    case MLMultiArrayDataType::float64:
      return static_cast<float>(static_cast<const double*>(data)[offset]);
    case MLMultiArrayDataType::int32:
      return static_cast<float>(static_cast<const int32_t*>(data)[offset]);
  }
  return 0;
}

}  // namespace

CtcFrames CtcFrames::of(const std::vector<std::vector<float>>& matrix) {
  CtcFrames frames;
  frames.rows.reserve(matrix.size());
  for (const auto& row : matrix) frames.rows.emplace_back(row);
  return frames;
}

std::optional<CtcFrames> CtcFrames::of(const platform::MLMultiArray& array) {
  const auto& shape = array.shape();
  if (shape.size() != 3) return std::nullopt;
  CtcFrames frames;
  if (shape[0] == 0) return frames;
  const auto frameCount = static_cast<size_t>(shape[1]);
  const auto width = static_cast<size_t>(shape[2]);
  const auto& strides = array.strides();
  frames.rows.reserve(frameCount);

  // Only the first batch entry is read, so its frames being dense is enough to read in place.
  const bool denseFrames = (width <= 1 || strides[2] == 1) &&
                           (frameCount <= 1 || strides[1] == static_cast<int64_t>(width));
  if (array.dataType() == MLMultiArrayDataType::float32 && denseFrames) {
    const auto* data = static_cast<const float*>(array.dataPointer());
    for (size_t t = 0; t < frameCount; ++t) frames.rows.emplace_back(data + t * width, width);
    return frames;
  }

  frames.converted.resize(frameCount * width);
  for (size_t t = 0; t < frameCount; ++t) {
    for (size_t v = 0; v < width; ++v) {
      const int64_t offset = static_cast<int64_t>(t) * strides[1] + static_cast<int64_t>(v) * strides[2];
      frames.converted[t * width + v] = elementAt(array.dataPointer(), array.dataType(), offset);
    }
  }
  for (size_t t = 0; t < frameCount; ++t) frames.rows.emplace_back(frames.converted.data() + t * width, width);
  return frames;
}

}  // namespace tesselaudio::detail
