#pragma once

#include "speech/VAD/VadState.h"

namespace tesselaudio {

// The outcome of one chunk. A value.
struct VadResult {
  // The chunk's speech probability as the model gives it.
  float probability = 0;
  // probability >= the detector's defaultThreshold.
  bool isVoiceActive = false;
  // Wall-clock seconds from the start of the chunk's preparation to the end of the model run.
  double processingTime = 0;
  // The state to give with the next chunk.
  VadState outputState;

  bool operator==(const VadResult&) const = default;
};

}  // namespace tesselaudio
