#pragma once

#include <string>

#include "platform/sys/Error.h"

namespace tesselaudio {

// The failures of the voice-activity detector. A value; safe to copy and to read from any thread.
class VadError : public platform::Error {
 public:
  enum class Code : int {
    modelProcessingFailed = 0,
    notInitialized = 1,
    modelLoadingFailed = 2,
  };

  // "Model processing failed: " + message.
  static VadError modelProcessingFailed(const std::string& message);
  // "VAD system not initialized".
  static VadError notInitialized();
  // "Failed to load VAD model".
  static VadError modelLoadingFailed();

  Code errorCode() const { return static_cast<Code>(code()); }

 private:
  VadError(Code code, std::string description);
};

}  // namespace tesselaudio
