#include "speech/ASR/Parakeet/ASRError.h"

#include <utility>

namespace tesselaudio {

ASRError::ASRError(Case errorCase, std::string description, std::string message,
                   std::optional<std::filesystem::path> file, std::exception_ptr underlying)
    : platform::Error("ASRError", kDomain, static_cast<int>(errorCase), std::move(description),
                      std::move(file), std::move(underlying)),
      message_(std::move(message)) {}

ASRError ASRError::processingFailed(const std::string& message) {
  return ASRError(Case::processingFailed, "ASR processing failed: " + message, message);
}

ASRError ASRError::unsupportedPlatform(const std::string& message) {
  return ASRError(Case::unsupportedPlatform, message, message);
}

ASRError ASRError::streamingConversionFailed(std::exception_ptr underlying) {
  std::string description = "Streaming audio conversion failed: " + platform::Error::messageOf(underlying);
  return ASRError(Case::streamingConversionFailed, std::move(description), {}, std::nullopt,
                  std::move(underlying));
}

ASRError ASRError::fileAccessFailed(const std::filesystem::path& file,
                                    std::exception_ptr underlying) {
  std::string description =
      "Failed to access audio file at " + file.string() + ": " + platform::Error::messageOf(underlying);
  return ASRError(Case::fileAccessFailed, std::move(description), {}, file, std::move(underlying));
}

ASRError ASRError::encoderInstantiationFailed(const std::string& message) {
  return ASRError(Case::encoderInstantiationFailed,
                  "Encoder ANE program failed to instantiate: " + message, message);
}

ASRError ASRError::notInitialized() {
  return ASRError(Case::notInitialized, "AsrManager not initialized. Call initialize() first.");
}

ASRError ASRError::invalidAudioData() {
  return ASRError(Case::invalidAudioData,
                  "Invalid audio data provided. Must be at least 300ms of 16kHz audio.");
}

ASRError ASRError::modelLoadFailed() {
  return ASRError(Case::modelLoadFailed, "Failed to load Parakeet CoreML models.");
}

ASRError ASRError::modelCompilationFailed() {
  return ASRError(Case::modelCompilationFailed,
                  "CoreML model compilation failed after recovery attempts.");
}

}  // namespace tesselaudio
