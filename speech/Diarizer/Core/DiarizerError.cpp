#include "speech/Diarizer/Core/DiarizerError.h"

#include <utility>

namespace tesselaudio {

DiarizerError::DiarizerError(Code code, std::string description)
    : platform::Error("DiarizerError", "TesselAudio.DiarizerError", static_cast<int>(code),
                      std::move(description)) {}

DiarizerError DiarizerError::processingFailed(const std::string& message) {
  return DiarizerError(Code::processingFailed, "Processing failed: " + message);
}

DiarizerError DiarizerError::notInitialized() {
  return DiarizerError(Code::notInitialized,
                       "Diarization system not initialized. Call initialize() first.");
}

DiarizerError DiarizerError::modelDownloadFailed() {
  return DiarizerError(Code::modelDownloadFailed, "Failed to download required models.");
}

DiarizerError DiarizerError::modelCompilationFailed() {
  return DiarizerError(Code::modelCompilationFailed, "Failed to compile CoreML models.");
}

DiarizerError DiarizerError::embeddingExtractionFailed() {
  return DiarizerError(Code::embeddingExtractionFailed,
                       "Failed to extract speaker embedding from audio.");
}

DiarizerError DiarizerError::invalidAudioData() {
  return DiarizerError(Code::invalidAudioData, "Invalid audio data provided.");
}

DiarizerError DiarizerError::memoryAllocationFailed() {
  return DiarizerError(Code::memoryAllocationFailed, "Failed to allocate ANE-aligned memory.");
}

DiarizerError DiarizerError::invalidArrayBounds() {
  return DiarizerError(Code::invalidArrayBounds, "Array bounds exceeded for zero-copy view.");
}

}  // namespace tesselaudio
