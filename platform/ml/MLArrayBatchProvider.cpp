#include "platform/ml/MLArrayBatchProvider.h"

#include <cassert>

namespace platform {

MLArrayBatchProvider::MLArrayBatchProvider(std::vector<std::shared_ptr<const MLFeatureProvider>> array)
    : array_(std::move(array)) {}

std::shared_ptr<const MLFeatureProvider> MLArrayBatchProvider::features(int64_t index) const {
  assert(index >= 0 && index < count());
  return array_[static_cast<size_t>(index)];
}

}  // namespace platform
