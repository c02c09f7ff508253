#pragma once

#include "platform/ml/MLComputeUnits.h"

namespace tesselaudio {

// The voice-activity detector's own settings, fixed when a VadManager is made. A value.
struct VadConfig {
  // Speech probability at or above which a chunk is voice; also the speech threshold of
  // segmentation and streaming when their configuration gives no negativeThreshold.
  float defaultThreshold = 0.85f;
  // Carried along and handed back; nothing reads it.
  bool debugMode = false;
  // The units the model is loaded with.
  platform::MLComputeUnits computeUnits = platform::MLComputeUnits::cpuAndNeuralEngine;

  // The defaults above.
  static const VadConfig& default_();

  bool operator==(const VadConfig&) const = default;
};

}  // namespace tesselaudio
