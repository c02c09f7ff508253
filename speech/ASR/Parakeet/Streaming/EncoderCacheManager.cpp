#include "speech/ASR/Parakeet/Streaming/EncoderCacheManager.h"

#include <algorithm>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "platform/ml/MLFeatureProvider.h"
#include "platform/ml/MLModelError.h"
#include "speech/Shared/MLMultiArrayExtensions.h"

namespace tesselaudio::EncoderCacheManager {
namespace {

std::shared_ptr<platform::MLMultiArray> arrayFeature(const platform::MLFeatureProvider& output,
                                                     const std::string& name) {
  auto value = output.featureValue(name);
  return value ? value->multiArrayValue() : nullptr;
}

}  // namespace

std::shared_ptr<platform::MLMultiArray> createZeroArray(const std::vector<std::int64_t>& shape,
                                                        platform::MLMultiArrayDataType dataType) {
  // The runtime would make an empty array of a zero dimension; a cache of no elements is never meant.
  if (shape.empty() || std::any_of(shape.begin(), shape.end(), [](std::int64_t d) { return d < 1; })) {
    throw platform::MLModelError::parameters(
        fmt::format("Cannot make a cache array of shape [{}].", fmt::join(shape, ", ")));
  }
  auto array = std::make_shared<platform::MLMultiArray>(shape, dataType);
  resetData(*array, 0);
  return array;
}

Caches createInitialCaches(const CacheConfig& config) {
  Caches caches;
  caches.channel = createZeroArray(config.channelShape, platform::MLMultiArrayDataType::float32);
  caches.time = createZeroArray(config.timeShape, platform::MLMultiArrayDataType::float32);
  caches.len = createZeroArray(config.lenShape, platform::MLMultiArrayDataType::int32);
  return caches;
}

Caches extractCachesFromOutput(const platform::MLFeatureProvider& output, const std::string& channelKey,
                               const std::string& timeKey, const std::string& lenKey) {
  return {arrayFeature(output, channelKey), arrayFeature(output, timeKey), arrayFeature(output, lenKey)};
}

}  // namespace tesselaudio::EncoderCacheManager
