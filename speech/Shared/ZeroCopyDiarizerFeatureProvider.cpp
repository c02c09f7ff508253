#include "speech/Shared/ZeroCopyDiarizerFeatureProvider.h"

#include <algorithm>
#include <utility>

namespace tesselaudio {

using platform::MLFeatureValue;

ZeroCopyDiarizerFeatureProvider::ZeroCopyDiarizerFeatureProvider(Features features)
    : features_(std::move(features)) {}

std::set<std::string> ZeroCopyDiarizerFeatureProvider::featureNames() const {
  std::set<std::string> names;
  for (const auto& [name, value] : features_) names.insert(name);
  return names;
}

std::shared_ptr<const MLFeatureValue> ZeroCopyDiarizerFeatureProvider::featureValue(
    const std::string& featureName) const {
  const auto it = features_.find(featureName);
  return it == features_.end() ? nullptr : it->second;
}

std::unique_ptr<ZeroCopyDiarizerFeatureProvider> ZeroCopyDiarizerFeatureProvider::chain(
    const platform::MLFeatureProvider& from, const std::string& outputName, const std::string& to,
    Features additionalFeatures) {
  auto value = from.featureValue(outputName);
  if (!value) return nullptr;
  additionalFeatures[to] = std::move(value);
  return std::make_unique<ZeroCopyDiarizerFeatureProvider>(std::move(additionalFeatures));
}

std::vector<std::unique_ptr<ZeroCopyDiarizerFeatureProvider>> ZeroCopyDiarizerFeatureProvider::batchProvider(
    const std::vector<std::shared_ptr<platform::MLMultiArray>>& waveforms,
    const std::vector<std::shared_ptr<platform::MLMultiArray>>& masks) {
  const size_t count = std::min(waveforms.size(), masks.size());
  std::vector<std::unique_ptr<ZeroCopyDiarizerFeatureProvider>> providers;
  providers.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    providers.push_back(std::make_unique<ZeroCopyDiarizerFeatureProvider>(
        Features{{"waveform", std::make_shared<const MLFeatureValue>(waveforms[i])},
                 {"mask", std::make_shared<const MLFeatureValue>(masks[i])}}));
  }
  return providers;
}

}  // namespace tesselaudio
