#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/ml/MLMultiArray.h"

namespace tesselaudio {

// Reusable model arrays keyed by shape and data type, handed out last in, first out, so that
// decoding loops do not allocate. The cache never clears an array: one comes back with whatever its
// previous user left in it. Up to 100 arrays are kept, shared out between the keys in use when an
// array is given back. Safe from any thread: operations run one at a time, and an array on hand goes
// to one caller only. The caller holding an array must not give it back while still using it.
//
//   auto scratch = sharedMLArrayCache().getArray({1, 640}, MLMultiArrayDataType::float32);
//   ...
//   sharedMLArrayCache().returnArray(scratch);
class MLArrayCache {
 public:
  struct CacheKey {
    std::vector<int64_t> shape;
    platform::MLMultiArrayDataType dataType = platform::MLMultiArrayDataType::float32;

    bool operator==(const CacheKey&) const = default;
  };

  struct CacheKeyHash {
    size_t operator()(const CacheKey& key) const noexcept;
  };

  // One pair given to prewarm.
  struct ShapeAndType {
    std::vector<int64_t> shape;
    platform::MLMultiArrayDataType dataType = platform::MLMultiArrayDataType::float32;
  };

  static constexpr int kDefaultMaxCacheSize = 100;

  MLArrayCache() = default;
  MLArrayCache(const MLArrayCache&) = delete;
  MLArrayCache& operator=(const MLArrayCache&) = delete;

  // The array last given back for this shape and type, or a new zero-filled aligned one. The caller
  // owns it until it gives it back. Throws ANEMemoryError as ANEMemoryUtils::createAlignedArray.
  std::shared_ptr<platform::MLMultiArray> getArray(const std::vector<int64_t>& shape,
                                                   platform::MLMultiArrayDataType dataType);

  // Keeps `array` for a later getArray while its key holds fewer arrays than 100 / (keys in use);
  // drops it otherwise. An array the cache already holds is ignored.
  void returnArray(std::shared_ptr<platform::MLMultiArray> array);

  // Allocates zero-filled arrays ahead: for m pairs, 5 each when m is 1, else min(100 / m, 5); with
  // more than 100 pairs each key is set to an empty list. A pair whose allocation fails is left as
  // it was; never throws.
  void prewarm(const std::vector<ShapeAndType>& shapes);

  // Drops every array on hand (keys stay, with empty lists).
  void clear();

  // Arrays on hand under a key (0 when the key is absent).
  size_t count(const std::vector<int64_t>& shape, platform::MLMultiArrayDataType dataType) const;

 private:
  mutable std::mutex mutex_;
  // Guarded by mutex_.
  std::unordered_map<CacheKey, std::vector<std::shared_ptr<platform::MLMultiArray>>, CacheKeyHash> cache_;
  const int maxCacheSize_ = kDefaultMaxCacheSize;
};

// The process-wide cache, made on first use.
MLArrayCache& sharedMLArrayCache();

}  // namespace tesselaudio
