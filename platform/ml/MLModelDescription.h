#pragma once

#include <map>
#include <string>

#include "platform/ml/MLFeatureDescription.h"

namespace platform {

// What a model's author wrote about it. `creatorDefined` holds the author's own string entries
// (for example a "config" entry holding a JSON text), byte for byte.
struct MLModelMetadata {
  std::string author;
  std::string description;
  std::string versionString;
  std::string license;
  std::map<std::string, std::string> creatorDefined;

  bool operator==(const MLModelMetadata&) const = default;
};

// A loaded model's inputs, outputs and states by name, and its metadata.
struct MLModelDescription {
  std::map<std::string, MLFeatureDescription> inputDescriptionsByName;
  std::map<std::string, MLFeatureDescription> outputDescriptionsByName;
  std::map<std::string, MLFeatureDescription> stateDescriptionsByName;
  MLModelMetadata metadata;

  bool operator==(const MLModelDescription&) const = default;
};

}  // namespace platform
