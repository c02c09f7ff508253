#include "speech/Diarizer/Sortformer/SortformerError.h"

#include <utility>

namespace tesselaudio {

SortformerError::SortformerError(Code code, std::string description)
    : platform::Error("SortformerError", "TesselAudio.SortformerError", static_cast<int>(code),
                      std::move(description)) {}

SortformerError SortformerError::modelLoadFailed(const std::string& text) {
  return SortformerError(Code::modelLoadFailed, "Failed to load Sortformer model: " + text);
}

SortformerError SortformerError::preprocessorFailed(const std::string& text) {
  return SortformerError(Code::preprocessorFailed, "Preprocessor failed: " + text);
}

SortformerError SortformerError::inferenceFailed(const std::string& text) {
  return SortformerError(Code::inferenceFailed, "Inference failed: " + text);
}

SortformerError SortformerError::invalidState(const std::string& text) {
  return SortformerError(Code::invalidState, "Invalid state: " + text);
}

SortformerError SortformerError::configurationError(const std::string& text) {
  return SortformerError(Code::configurationError, "Configuration error: " + text);
}

SortformerError SortformerError::insufficientChunkLength(const std::string& text) {
  return SortformerError(Code::insufficientChunkLength, "Insufficient chunk length: " + text);
}

SortformerError SortformerError::insufficientPredsLength(const std::string& text) {
  return SortformerError(Code::insufficientPredsLength, "Insufficient preds length: " + text);
}

SortformerError SortformerError::notInitialized() {
  return SortformerError(Code::notInitialized,
                         "Sortformer diarizer not initialized. Call initialize() first.");
}

SortformerError SortformerError::invalidAudioData() {
  return SortformerError(Code::invalidAudioData, "Invalid audio data provided.");
}

}  // namespace tesselaudio
