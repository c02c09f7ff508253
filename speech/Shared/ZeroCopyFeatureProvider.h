#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>

#include "platform/ml/MLFeatureProvider.h"
#include "platform/ml/MLFeatureValue.h"

namespace tesselaudio {

// A feature provider over a prepared map of names to values, so that prepared arrays reach a model
// without a dictionary built per call, and one model's output feeds the next model by reference.
// Immutable; safe to read from any thread.
class ZeroCopyFeatureProvider : public platform::MLFeatureProvider {
 public:
  using Features = std::map<std::string, std::shared_ptr<const platform::MLFeatureValue>>;

  explicit ZeroCopyFeatureProvider(Features features);

  const Features& features() const { return features_; }

  std::set<std::string> featureNames() const override;
  std::shared_ptr<const platform::MLFeatureValue> featureValue(const std::string& featureName) const override;

  // A provider holding `from`'s value named `outputName` as its one entry `to` (the same value
  // object), or null when `from` has no such value.
  static std::unique_ptr<ZeroCopyFeatureProvider> chain(const platform::MLFeatureProvider& from,
                                                        const std::string& outputName, const std::string& to);

 private:
  const Features features_;
};

}  // namespace tesselaudio
