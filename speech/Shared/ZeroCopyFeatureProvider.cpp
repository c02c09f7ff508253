#include "speech/Shared/ZeroCopyFeatureProvider.h"

#include <utility>

namespace tesselaudio {

ZeroCopyFeatureProvider::ZeroCopyFeatureProvider(Features features) : features_(std::move(features)) {}

std::set<std::string> ZeroCopyFeatureProvider::featureNames() const {
  std::set<std::string> names;
  for (const auto& [name, value] : features_) names.insert(name);
  return names;
}

std::shared_ptr<const platform::MLFeatureValue> ZeroCopyFeatureProvider::featureValue(
    const std::string& featureName) const {
  const auto it = features_.find(featureName);
  return it == features_.end() ? nullptr : it->second;
}

std::unique_ptr<ZeroCopyFeatureProvider> ZeroCopyFeatureProvider::chain(const platform::MLFeatureProvider& from,
                                                                        const std::string& outputName,
                                                                        const std::string& to) {
  auto value = from.featureValue(outputName);
  if (!value) return nullptr;
  return std::make_unique<ZeroCopyFeatureProvider>(Features{{to, std::move(value)}});
}

}  // namespace tesselaudio
