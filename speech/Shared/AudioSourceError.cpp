#include "speech/Shared/AudioSourceError.h"

#include <optional>
#include <utility>

namespace tesselaudio {

AudioSourceError::AudioSourceError(std::string message, std::exception_ptr underlying)
    : platform::Error("AudioSourceError", kDomain, static_cast<int>(Case::processingFailed),
                      "Processing failed: " + message, std::nullopt, std::move(underlying)),
      message_(std::move(message)) {}

AudioSourceError AudioSourceError::processingFailed(std::string message, std::exception_ptr underlying) {
  return AudioSourceError(std::move(message), std::move(underlying));
}

}  // namespace tesselaudio
