#include "speech/Shared/MLArrayCache.h"

#include <algorithm>
#include <functional>

#include "speech/Shared/ANEMemoryUtils.h"

namespace tesselaudio {

using platform::MLMultiArray;
using platform::MLMultiArrayDataType;

namespace {

constexpr int kPrewarmPerKey = 5;

}  // namespace

size_t MLArrayCache::CacheKeyHash::operator()(const CacheKey& key) const noexcept {
  size_t hash = std::hash<size_t>()(key.shape.size());
  auto combine = [&hash](size_t value) { hash ^= value + 0x9e3779b97f4a7c15ULL + (hash << 6) + (hash >> 2); };
  for (int64_t d : key.shape) combine(std::hash<int64_t>()(d));
  combine(std::hash<int>()(static_cast<int>(key.dataType)));
  return hash;
}

std::shared_ptr<MLMultiArray> MLArrayCache::getArray(const std::vector<int64_t>& shape, MLMultiArrayDataType dataType) {
  {
    std::scoped_lock lock(mutex_);
    if (auto it = cache_.find(CacheKey{shape, dataType}); it != cache_.end() && !it->second.empty()) {
      auto array = std::move(it->second.back());
      it->second.pop_back();
      return array;
    }
  }
  // A new array is not recorded anywhere, so it needs no lock.
  return ANEMemoryUtils::createAlignedArray(shape, dataType, true);
}

void MLArrayCache::returnArray(std::shared_ptr<MLMultiArray> array) {
  if (!array) return;
  CacheKey key{array->shape(), array->dataType()};
  std::scoped_lock lock(mutex_);
  const auto it = cache_.find(key);
  const size_t held = it == cache_.end() ? 0 : it->second.size();
  // Giving back an array twice would later hand one buffer to two callers.
  if (it != cache_.end() && std::find(it->second.begin(), it->second.end(), array) != it->second.end()) return;
  const size_t keys = cache_.size();
  const size_t limit = keys >= 2 ? static_cast<size_t>(maxCacheSize_) / keys : static_cast<size_t>(maxCacheSize_);
  if (held >= limit) return;
  cache_[std::move(key)].push_back(std::move(array));
}

void MLArrayCache::prewarm(const std::vector<ShapeAndType>& shapes) {
  if (shapes.empty()) return;
  const size_t pairs = shapes.size();
  const size_t perKey =
      pairs == 1 ? kPrewarmPerKey : std::min(static_cast<size_t>(maxCacheSize_) / pairs, size_t{kPrewarmPerKey});
  std::scoped_lock lock(mutex_);
  for (const ShapeAndType& pair : shapes) {
    CacheKey key{pair.shape, pair.dataType};
    if (perKey == 0) {
      cache_[std::move(key)].clear();
      continue;
    }
    std::vector<std::shared_ptr<MLMultiArray>> arrays;
    try {
      for (size_t i = 0; i < perKey; ++i) arrays.push_back(ANEMemoryUtils::createAlignedArray(pair.shape, pair.dataType, true));
    } catch (...) {
      // A pair that cannot be allocated keeps what it had.
      continue;
    }
    cache_[std::move(key)] = std::move(arrays);
  }
}

void MLArrayCache::clear() {
  std::scoped_lock lock(mutex_);
  for (auto& [key, arrays] : cache_) arrays.clear();
}

size_t MLArrayCache::count(const std::vector<int64_t>& shape, MLMultiArrayDataType dataType) const {
  std::scoped_lock lock(mutex_);
  const auto it = cache_.find(CacheKey{shape, dataType});
  return it == cache_.end() ? 0 : it->second.size();
}

MLArrayCache& sharedMLArrayCache() {
  static MLArrayCache cache;
  return cache;
}

}  // namespace tesselaudio
