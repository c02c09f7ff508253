#pragma once

#include <memory>
#include <vector>

#include "platform/ml/MLBatchProvider.h"

namespace platform {

// A batch over a list of providers, in list order. Immutable; safe to read from any thread.
class MLArrayBatchProvider : public MLBatchProvider {
 public:
  explicit MLArrayBatchProvider(std::vector<std::shared_ptr<const MLFeatureProvider>> array);

  const std::vector<std::shared_ptr<const MLFeatureProvider>>& array() const { return array_; }

  int64_t count() const override { return static_cast<int64_t>(array_.size()); }
  std::shared_ptr<const MLFeatureProvider> features(int64_t index) const override;

 private:
  std::vector<std::shared_ptr<const MLFeatureProvider>> array_;
};

}  // namespace platform
