#include "platform/ml/MLMultiArray.h"

#include <cstdlib>
#include <cstring>
#include <limits>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "platform/ml/Float16.h"
#include "platform/ml/MLModelError.h"

namespace platform {
namespace {

// Product of the shape, refusing negative dimensions and products that no memory could hold.
int64_t checkedCount(const std::vector<int64_t>& shape) {
  int64_t count = 1;
  for (int64_t d : shape) {
    if (d < 0) throw MLModelError::parameters(fmt::format("Negative dimension in shape [{}].", fmt::join(shape, ", ")));
    if (d != 0 && count > std::numeric_limits<int64_t>::max() / 16 / d) {
      throw MLModelError::parameters(fmt::format("Shape [{}] is too large.", fmt::join(shape, ", ")));
    }
    count *= d;
  }
  return count;
}

bool isKnownType(MLMultiArrayDataType type) {
  switch (type) {
    case MLMultiArrayDataType::float16:
    case MLMultiArrayDataType::float32:
    case MLMultiArrayDataType::float64:
    case MLMultiArrayDataType::int32:
      return true;
  }
  return false;
}

}  // namespace

size_t elementSize(MLMultiArrayDataType dataType) {
  switch (dataType) {
    case MLMultiArrayDataType::float16: return 2;
    case MLMultiArrayDataType::float64: return 8;
    default: return 4;
  }
}

std::vector<int64_t> MLMultiArray::denseStrides(const std::vector<int64_t>& shape) {
  std::vector<int64_t> strides(shape.size(), 1);
  for (size_t i = shape.size(); i > 1; --i) strides[i - 2] = strides[i - 1] * std::max<int64_t>(shape[i - 1], 1);
  return strides;
}

MLMultiArray::MLMultiArray(std::vector<int64_t> shape, MLMultiArrayDataType dataType)
    : shape_(std::move(shape)), dataType_(dataType) {
  if (!isKnownType(dataType)) {
    throw MLModelError::parameters(fmt::format("Unsupported multi-array data type {}.", static_cast<int>(dataType)));
  }
  count_ = checkedCount(shape_);
  strides_ = denseStrides(shape_);
  const size_t bytes = std::max<size_t>(static_cast<size_t>(count_) * elementSize(dataType_), 1);
  data_ = std::calloc(bytes, 1);
  if (data_ == nullptr) throw MLModelError::parameters(fmt::format("Cannot allocate {} bytes for a multi-array.", bytes));
  ownsData_ = true;
}

MLMultiArray::MLMultiArray(void* dataPointer, std::vector<int64_t> shape, MLMultiArrayDataType dataType,
                           std::vector<int64_t> strides, Deallocator deallocator)
    : shape_(std::move(shape)), strides_(std::move(strides)), dataType_(dataType) {
  if (dataPointer == nullptr) throw MLModelError::parameters("Multi-array memory is a null pointer.");
  if (!isKnownType(dataType)) {
    throw MLModelError::parameters(fmt::format("Unsupported multi-array data type {}.", static_cast<int>(dataType)));
  }
  if (strides_.size() != shape_.size()) {
    throw MLModelError::parameters(fmt::format("Strides [{}] do not match the rank of shape [{}].",
                                               fmt::join(strides_, ", "), fmt::join(shape_, ", ")));
  }
  for (int64_t s : strides_) {
    if (s < 0) throw MLModelError::parameters(fmt::format("Negative stride in [{}].", fmt::join(strides_, ", ")));
  }
  count_ = checkedCount(shape_);
  data_ = dataPointer;
  deallocator_ = std::move(deallocator);
}

MLMultiArray::~MLMultiArray() {
  if (ownsData_) {
    std::free(data_);
  } else if (deallocator_) {
    deallocator_(data_);
  }
}

bool MLMultiArray::isContiguous() const {
  const auto dense = denseStrides(shape_);
  for (size_t i = 0; i < shape_.size(); ++i) {
    if (shape_[i] > 1 && strides_[i] != dense[i]) return false;
  }
  return true;
}

int64_t MLMultiArray::elementOffset(int64_t linearIndex) const {
  if (linearIndex < 0 || linearIndex >= count_) {
    throw MLModelError::parameters(fmt::format("Index {} is outside a multi-array of {} elements.", linearIndex, count_));
  }
  int64_t offset = 0;
  for (size_t i = shape_.size(); i-- > 0;) {
    offset += (linearIndex % shape_[i]) * strides_[i];
    linearIndex /= shape_[i];
  }
  return offset;
}

int64_t MLMultiArray::elementOffset(const std::vector<int64_t>& indices) const {
  if (indices.size() != shape_.size()) {
    throw MLModelError::parameters(fmt::format("Index [{}] does not match the rank of shape [{}].",
                                               fmt::join(indices, ", "), fmt::join(shape_, ", ")));
  }
  int64_t offset = 0;
  for (size_t i = 0; i < shape_.size(); ++i) {
    if (indices[i] < 0 || indices[i] >= shape_[i]) {
      throw MLModelError::parameters(fmt::format("Index [{}] is outside shape [{}].", fmt::join(indices, ", "),
                                                 fmt::join(shape_, ", ")));
    }
    offset += indices[i] * strides_[i];
  }
  return offset;
}

NSNumber MLMultiArray::load(int64_t offset) const {
  switch (dataType_) {
    case MLMultiArrayDataType::float16: return floatFromFloat16(static_cast<const uint16_t*>(data_)[offset]);
    case MLMultiArrayDataType::float32: return static_cast<const float*>(data_)[offset];
    case MLMultiArrayDataType::float64: return static_cast<const double*>(data_)[offset];
    case MLMultiArrayDataType::int32: return static_cast<const int32_t*>(data_)[offset];
  }
  return {};
}

void MLMultiArray::store(int64_t offset, NSNumber value) {
  switch (dataType_) {
    case MLMultiArrayDataType::float16:
      static_cast<uint16_t*>(data_)[offset] = float16FromFloat(value.floatValue());
      break;
    case MLMultiArrayDataType::float32: static_cast<float*>(data_)[offset] = value.floatValue(); break;
    case MLMultiArrayDataType::float64: static_cast<double*>(data_)[offset] = value.doubleValue(); break;
    case MLMultiArrayDataType::int32: static_cast<int32_t*>(data_)[offset] = value.int32Value(); break;
  }
}

NSNumber MLMultiArray::operator[](int64_t linearIndex) const { return load(elementOffset(linearIndex)); }
NSNumber MLMultiArray::operator[](const std::vector<int64_t>& indices) const { return load(elementOffset(indices)); }
void MLMultiArray::set(int64_t linearIndex, NSNumber value) { store(elementOffset(linearIndex), value); }
void MLMultiArray::set(const std::vector<int64_t>& indices, NSNumber value) { store(elementOffset(indices), value); }

}  // namespace platform
