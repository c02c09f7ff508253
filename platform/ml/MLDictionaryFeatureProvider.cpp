#include "platform/ml/MLDictionaryFeatureProvider.h"

namespace platform {

MLDictionaryFeatureProvider::MLDictionaryFeatureProvider(Dictionary dictionary) : dictionary_(std::move(dictionary)) {}

MLDictionaryFeatureProvider::MLDictionaryFeatureProvider(const std::map<std::string, std::shared_ptr<MLMultiArray>>& arrays) {
  for (const auto& [name, array] : arrays) dictionary_.emplace(name, std::make_shared<MLFeatureValue>(array));
}

std::set<std::string> MLDictionaryFeatureProvider::featureNames() const {
  std::set<std::string> names;
  for (const auto& entry : dictionary_) names.insert(entry.first);
  return names;
}

std::shared_ptr<const MLFeatureValue> MLDictionaryFeatureProvider::featureValue(const std::string& featureName) const {
  auto it = dictionary_.find(featureName);
  return it == dictionary_.end() ? nullptr : it->second;
}

}  // namespace platform
