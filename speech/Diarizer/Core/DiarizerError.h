#pragma once

#include <string>

#include "platform/sys/Error.h"

namespace tesselaudio {

// The failures of the chunked segmentation-and-embedding diarizer: loading its models, running
// them and being used before it is ready. A value; safe to copy and to read from any thread.
class DiarizerError : public platform::Error {
 public:
  enum class Code : int {
    processingFailed = 0,
    notInitialized = 1,
    modelDownloadFailed = 2,
    modelCompilationFailed = 3,
    embeddingExtractionFailed = 4,
    invalidAudioData = 5,
    memoryAllocationFailed = 6,
    invalidArrayBounds = 7,
  };

  // "Processing failed: " + message.
  static DiarizerError processingFailed(const std::string& message);
  // "Diarization system not initialized. Call initialize() first."
  static DiarizerError notInitialized();
  // "Failed to download required models."
  static DiarizerError modelDownloadFailed();
  // "Failed to compile CoreML models."
  static DiarizerError modelCompilationFailed();
  // "Failed to extract speaker embedding from audio."
  static DiarizerError embeddingExtractionFailed();
  // "Invalid audio data provided."
  static DiarizerError invalidAudioData();
  // "Failed to allocate ANE-aligned memory."
  static DiarizerError memoryAllocationFailed();
  // "Array bounds exceeded for zero-copy view."
  static DiarizerError invalidArrayBounds();

  Code errorCode() const { return static_cast<Code>(code()); }

 private:
  DiarizerError(Code code, std::string description);
};

}  // namespace tesselaudio
