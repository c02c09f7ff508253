#pragma once

#include <cstdint>
#include <memory>

#include "platform/ml/MLFeatureProvider.h"

namespace platform {

// An ordered collection of feature providers, one per prediction of a batch.
class MLBatchProvider {
 public:
  virtual ~MLBatchProvider() = default;

  virtual int64_t count() const = 0;
  // The provider at `index`. REQUIRES: 0 <= index < count().
  virtual std::shared_ptr<const MLFeatureProvider> features(int64_t index) const = 0;
};

}  // namespace platform
