#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/ml/MLMultiArray.h"

namespace platform {
class MLFeatureProvider;
}

namespace tesselaudio {

// The cache tensors of a cache-aware streaming encoder: made zero-filled for a new stream, then
// taken from each encoder output by feature name. Plain functions of the calling thread.
//
//   auto caches = EncoderCacheManager::createInitialCaches({{1, 17, 70, 512}, {1, 17, 512, 8}, {1}});
//   auto next = EncoderCacheManager::extractCachesFromOutput(*output, "cache_channel_out",
//                                                            "cache_time_out", "cache_len_out");
namespace EncoderCacheManager {

// The shapes of the three caches, as the encoder declares them.
struct CacheConfig {
  std::vector<std::int64_t> channelShape;
  std::vector<std::int64_t> timeShape;
  std::vector<std::int64_t> lenShape;

  bool operator==(const CacheConfig&) const = default;
};

// The three caches. From createInitialCaches all are set; from extractCachesFromOutput a member
// is null when the output lacks that feature or it is no multi-array.
struct Caches {
  std::shared_ptr<platform::MLMultiArray> channel;
  std::shared_ptr<platform::MLMultiArray> time;
  std::shared_ptr<platform::MLMultiArray> len;
};

// A new array of the shape and type with every element 0, owned by the caller. Throws
// platform::MLModelError(parameters) for an empty shape, a dimension below 1 or a size beyond
// memory.
std::shared_ptr<platform::MLMultiArray> createZeroArray(const std::vector<std::int64_t>& shape,
                                                        platform::MLMultiArrayDataType dataType);

// Zero caches for a new stream: channel and time float32, len int32, made in that order. Throws as
// createZeroArray for the first shape that cannot be made; nothing partial comes back.
Caches createInitialCaches(const CacheConfig& config);

// The output's multi-arrays under the three names (shared, not copied). Never throws.
Caches extractCachesFromOutput(const platform::MLFeatureProvider& output, const std::string& channelKey,
                               const std::string& timeKey, const std::string& lenKey);

}  // namespace EncoderCacheManager
}  // namespace tesselaudio
