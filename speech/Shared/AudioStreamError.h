#pragma once

#include "platform/sys/Error.h"

namespace tesselaudio {

// Why an AudioStream cannot be made. code() is the case's position; the error has no text of its
// own, so its description is the platform's generic one naming the domain and code. Values.
class AudioStreamError : public platform::Error {
 public:
  static constexpr const char* kDomain = "TesselAudio.AudioStreamError";

  enum class Case { bufferTooSmall, invalidChunkSkip, invalidChunkDuration };

  static AudioStreamError bufferTooSmall();
  static AudioStreamError invalidChunkSkip();
  static AudioStreamError invalidChunkDuration();

  Case errorCase() const { return static_cast<Case>(code()); }

 private:
  explicit AudioStreamError(Case errorCase);
};

}  // namespace tesselaudio
