#pragma once

#include <map>
#include <memory>
#include <string>

#include "platform/ml/MLMultiArray.h"

namespace platform {

// Options of one prediction.
struct MLPredictionOptions {
  // Outputs written into caller arrays instead of new ones: output name -> array of the output's
  // shape. The array keeps its own strides and element type (float16 and float32 convert); the
  // prediction's output value is that very array.
  std::map<std::string, std::shared_ptr<MLMultiArray>> outputBackings;
};

}  // namespace platform
