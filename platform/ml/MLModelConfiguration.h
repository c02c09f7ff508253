#pragma once

#include <optional>
#include <string>

#include "platform/ml/MLComputeUnits.h"

namespace platform {

// Settings for loading a model. Compute units and GPU accumulation are kept for callers and logs;
// the CPU executor computes in float32 (float64 for float64 graphs) whatever they say.
struct MLModelConfiguration {
  MLComputeUnits computeUnits = MLComputeUnits::all;
  bool allowLowPrecisionAccumulationOnGPU = false;
  // The named function of a bundle to load; none loads the bundle's default function.
  std::optional<std::string> functionName;

  bool operator==(const MLModelConfiguration&) const = default;
};

}  // namespace platform
