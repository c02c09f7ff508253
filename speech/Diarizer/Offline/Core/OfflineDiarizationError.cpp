#include "speech/Diarizer/Offline/Core/OfflineDiarizationError.h"

#include <utility>

namespace tesselaudio {

OfflineDiarizationError::OfflineDiarizationError(Code code, const std::string& prefix, std::string message)
    : platform::Error("OfflineDiarizationError", "TesselAudio.OfflineDiarizationError", static_cast<int>(code),
                      prefix + message),
      message_(std::move(message)) {}

OfflineDiarizationError OfflineDiarizationError::modelNotLoaded(const std::string& message) {
  return OfflineDiarizationError(Code::modelNotLoaded, "Model not loaded: ", message);
}

OfflineDiarizationError OfflineDiarizationError::invalidConfiguration(const std::string& message) {
  return OfflineDiarizationError(Code::invalidConfiguration, "Invalid configuration: ", message);
}

OfflineDiarizationError OfflineDiarizationError::invalidBatchSize(const std::string& message) {
  return OfflineDiarizationError(Code::invalidBatchSize, "Invalid batch size: ", message);
}

OfflineDiarizationError OfflineDiarizationError::processingFailed(const std::string& message) {
  return OfflineDiarizationError(Code::processingFailed, "Processing failed: ", message);
}

OfflineDiarizationError OfflineDiarizationError::exportFailed(const std::string& message) {
  return OfflineDiarizationError(Code::exportFailed, "Failed to export data: ", message);
}

OfflineDiarizationError OfflineDiarizationError::invalidSpan(const std::string& message) {
  return OfflineDiarizationError(Code::invalidSpan, "Invalid span: ", message);
}

OfflineDiarizationError OfflineDiarizationError::noSpeechDetected() {
  return OfflineDiarizationError(Code::noSpeechDetected, "No speech detected in audio", "");
}

}  // namespace tesselaudio
