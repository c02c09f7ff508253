#pragma once

#include <string>

#include "platform/sys/Error.h"

namespace tesselaudio {

// The failures of the offline diarization pipeline: its configuration, its models, its processing
// stages and its export. A value; safe to copy and to read from any thread.
class OfflineDiarizationError : public platform::Error {
 public:
  enum class Code : int {
    modelNotLoaded = 0,
    invalidConfiguration = 1,
    invalidBatchSize = 2,
    processingFailed = 3,
    exportFailed = 4,
    invalidSpan = 5,
    noSpeechDetected = 6,
  };

  // "Model not loaded: " + message.
  static OfflineDiarizationError modelNotLoaded(const std::string& message);
  // "Invalid configuration: " + message.
  static OfflineDiarizationError invalidConfiguration(const std::string& message);
  // "Invalid batch size: " + message.
  static OfflineDiarizationError invalidBatchSize(const std::string& message);
  // "Processing failed: " + message.
  static OfflineDiarizationError processingFailed(const std::string& message);
  // "Failed to export data: " + message.
  static OfflineDiarizationError exportFailed(const std::string& message);
  // "Invalid span: " + message.
  static OfflineDiarizationError invalidSpan(const std::string& message);
  // "No speech detected in audio".
  static OfflineDiarizationError noSpeechDetected();

  Code errorCode() const { return static_cast<Code>(code()); }
  // The text the case carries (empty for noSpeechDetected).
  const std::string& message() const { return message_; }

 private:
  OfflineDiarizationError(Code code, const std::string& prefix, std::string message);

  std::string message_;
};

}  // namespace tesselaudio
