#include "speech/Shared/ANEMemoryOptimizer.h"

#include <algorithm>
#include <cstring>

namespace tesselaudio {

using platform::MLMultiArray;
using platform::MLMultiArrayDataType;
using ANEMemoryUtils::ANEMemoryError;

std::shared_ptr<MLMultiArray> ANEMemoryOptimizer::createAlignedArray(const std::vector<int64_t>& shape,
                                                                     MLMultiArrayDataType dataType) const {
  try {
    return ANEMemoryUtils::createAlignedArray(shape, dataType, true);
  } catch (const ANEMemoryError&) {
    throw;
  } catch (...) {
    throw ANEMemoryError::allocationFailed();
  }
}

std::shared_ptr<MLMultiArray> ANEMemoryOptimizer::getPooledBuffer(const std::string& key,
                                                                  const std::vector<int64_t>& shape,
                                                                  MLMultiArrayDataType dataType) {
  std::scoped_lock lock(bufferLock_);
  if (auto it = bufferPool_.find(key); it != bufferPool_.end()) {
    if (it->second->shape() == shape && it->second->dataType() == dataType) return it->second;
  }
  auto array = createAlignedArray(shape, dataType);
  bufferPool_[key] = array;
  return array;
}

void ANEMemoryOptimizer::initializePooledBuffer(const std::string& key, const std::vector<int64_t>& shape,
                                                MLMultiArrayDataType dataType) {
  std::scoped_lock lock(bufferLock_);
  auto array = createAlignedArray(shape, dataType);
  bufferPool_[key] = std::move(array);
}

void ANEMemoryOptimizer::clearBufferPool() {
  std::scoped_lock lock(bufferLock_);
  bufferPool_.clear();
}

bool ANEMemoryOptimizer::acceptsCopy(const MLMultiArray& to, int64_t offset) {
  return to.dataType() == MLMultiArrayDataType::float32 && offset >= 0 && offset <= to.count();
}

void ANEMemoryOptimizer::storeFloat(MLMultiArray& to, int64_t linearIndex, float value) {
  static_cast<float*>(to.dataPointer())[to.elementOffset(linearIndex)] = value;
}

void ANEMemoryOptimizer::clearFloats(MLMultiArray& to, int64_t linearIndex) {
  auto* data = static_cast<float*>(to.dataPointer());
  if (to.isContiguous()) {
    std::fill(data + linearIndex, data + to.count(), 0.0f);
    return;
  }
  for (int64_t i = linearIndex; i < to.count(); ++i) data[to.elementOffset(i)] = 0.0f;
}

void ANEMemoryOptimizer::optimizedCopy(std::span<const float> from, MLMultiArray& to, int64_t offset, bool pad) const {
  if (!acceptsCopy(to, offset)) return;
  const int64_t n = std::min<int64_t>(to.count() - offset, static_cast<int64_t>(from.size()));
  auto* data = static_cast<float*>(to.dataPointer());
  if (to.isContiguous()) {
    if (n > 0) std::memcpy(data + offset, from.data(), static_cast<size_t>(n) * sizeof(float));
  } else {
    // Padded rows: a dense run would land in the padding and miss the logical tail.
    for (int64_t i = 0; i < n; ++i) data[to.elementOffset(offset + i)] = from[static_cast<size_t>(i)];
  }
  if (pad) clearFloats(to, offset + n);
}

std::shared_ptr<MLMultiArray> ANEMemoryOptimizer::createZeroCopyView(const MLMultiArray& from,
                                                                     const std::vector<int64_t>& shape,
                                                                     int64_t offset) const {
  try {
    return ANEMemoryUtils::createZeroCopyView(from, offset, shape);
  } catch (const ANEMemoryError& error) {
    if (error.errorCase() == ANEMemoryError::Case::invalidShape) throw ANEMemoryError::invalidArrayBounds();
    throw;
  }
}

}  // namespace tesselaudio
