#pragma once

#include <optional>
#include <string>

#include "platform/sys/Error.h"

namespace tesselaudio {

// The failures of the LS-EEND model, its feature provider and its diarizer. A case with a message
// carries it as its payload (message()), and the description is that message, so a log line shows
// what went wrong; notInitialized has no message and the platform's generic description. Values;
// safe to copy and to read from any thread.
class LSEENDError : public platform::Error {
 public:
  static constexpr const char* kDomain = "TesselAudio.LSEENDError";

  enum class Case : int {
    initializationFailed = 0,
    inferenceFailed = 1,
    invalidInputSize = 2,
    notInitialized = 3,
  };

  // The model's configuration is missing or unusable, or its folder is missing after a download.
  static LSEENDError initializationFailed(const std::string& message);
  // The model's output cannot be read.
  static LSEENDError inferenceFailed(const std::string& message);
  // A chunk or mask does not fit the model input.
  static LSEENDError invalidInputSize(const std::string& message);
  // A diarizer operation ran before its model and feature provider were set.
  static LSEENDError notInitialized();

  Case errorCase() const { return static_cast<Case>(code()); }
  // The payload; none for notInitialized.
  const std::optional<std::string>& message() const { return message_; }

 private:
  LSEENDError(Case errorCase, std::optional<std::string> message);

  std::optional<std::string> message_;
};

}  // namespace tesselaudio
