#include "speech/VAD/VadError.h"

#include <utility>

namespace tesselaudio {

VadError::VadError(Code code, std::string description)
    : platform::Error("VadError", "TesselAudio.VadError", static_cast<int>(code), std::move(description)) {}

VadError VadError::modelProcessingFailed(const std::string& message) {
  return VadError(Code::modelProcessingFailed, "Model processing failed: " + message);
}

VadError VadError::notInitialized() { return VadError(Code::notInitialized, "VAD system not initialized"); }

VadError VadError::modelLoadingFailed() { return VadError(Code::modelLoadingFailed, "Failed to load VAD model"); }

}  // namespace tesselaudio
