#pragma once

#include <memory>
#include <set>
#include <string>

#include "platform/ml/MLFeatureValue.h"

namespace platform {

// A source of named feature values: what a model reads its inputs from and hands its outputs back
// as. Callers may implement it over their own storage. A model only reads a provider during the call
// it is given to.
class MLFeatureProvider {
 public:
  virtual ~MLFeatureProvider() = default;

  // The names this provider has values for.
  virtual std::set<std::string> featureNames() const = 0;
  // The value under the name, or null when there is none.
  virtual std::shared_ptr<const MLFeatureValue> featureValue(const std::string& featureName) const = 0;
};

}  // namespace platform
