#pragma once

#include <string>

#include "platform/sys/Error.h"

namespace tesselaudio {

// The failures of the Nemotron 3 diarizer: loading its model and assets, running it, and inputs or
// states that do not fit its configuration. The description is the case's prefix followed
// directly by the message. A value; safe to copy and to read from any thread.
class Nemotron3Error : public platform::Error {
 public:
  enum class Code : int {
    modelLoadFailed = 0,
    inferenceFailed = 1,
    invalidState = 2,
  };

  // "Failed to load Nemotron 3 diarization model: " + message.
  static Nemotron3Error modelLoadFailed(const std::string& message);
  // "Nemotron 3 diarization inference failed: " + message.
  static Nemotron3Error inferenceFailed(const std::string& message);
  // "Invalid Nemotron 3 diarization state: " + message.
  static Nemotron3Error invalidState(const std::string& message);

  Code errorCode() const { return static_cast<Code>(code()); }
  // The description (always present).
  const std::string& errorDescription() const { return description(); }

 private:
  Nemotron3Error(Code code, std::string description);
};

}  // namespace tesselaudio
