#pragma once

#include <string>

#include "platform/sys/Error.h"

namespace tesselaudio {

// The failures of the streaming Sortformer diarizer: loading its model, running it, and keeping
// its streaming state. A payload text follows its case's prefix directly ("Inference failed: " +
// text). A value; safe to copy and to read from any thread.
class SortformerError : public platform::Error {
 public:
  enum class Code : int {
    modelLoadFailed = 0,
    preprocessorFailed = 1,
    inferenceFailed = 2,
    invalidState = 3,
    configurationError = 4,
    insufficientChunkLength = 5,
    insufficientPredsLength = 6,
    notInitialized = 7,
    invalidAudioData = 8,
  };

  // "Failed to load Sortformer model: " + text.
  static SortformerError modelLoadFailed(const std::string& text);
  // "Preprocessor failed: " + text.
  static SortformerError preprocessorFailed(const std::string& text);
  // "Inference failed: " + text.
  static SortformerError inferenceFailed(const std::string& text);
  // "Invalid state: " + text.
  static SortformerError invalidState(const std::string& text);
  // "Configuration error: " + text.
  static SortformerError configurationError(const std::string& text);
  // "Insufficient chunk length: " + text.
  static SortformerError insufficientChunkLength(const std::string& text);
  // "Insufficient preds length: " + text.
  static SortformerError insufficientPredsLength(const std::string& text);
  // "Sortformer diarizer not initialized. Call initialize() first."
  static SortformerError notInitialized();
  // "Invalid audio data provided."
  static SortformerError invalidAudioData();

  Code errorCode() const { return static_cast<Code>(code()); }

 private:
  SortformerError(Code code, std::string description);
};

}  // namespace tesselaudio
