#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>

#include "platform/ml/MLFeatureProvider.h"

namespace platform {

// A feature provider over a fixed map of names to values. Immutable; safe to read from any thread.
class MLDictionaryFeatureProvider : public MLFeatureProvider {
 public:
  using Dictionary = std::map<std::string, std::shared_ptr<const MLFeatureValue>>;

  explicit MLDictionaryFeatureProvider(Dictionary dictionary);
  // Wraps each array as a multi-array feature value (no copy).
  explicit MLDictionaryFeatureProvider(const std::map<std::string, std::shared_ptr<MLMultiArray>>& arrays);

  const Dictionary& dictionary() const { return dictionary_; }

  std::set<std::string> featureNames() const override;
  std::shared_ptr<const MLFeatureValue> featureValue(const std::string& featureName) const override;

 private:
  Dictionary dictionary_;
};

}  // namespace platform
