#include "platform/speech/SpeechError.h"

namespace platform {

SpeechError::SpeechError(Code code, std::string description)
    : Error("SpeechError", "platform.speech", code, std::move(description)) {}

SpeechError SpeechError::missingBackend() {
  return SpeechError(noBackend, "no speech recogniser is available");
}

SpeechError SpeechError::analyzerNotPrepared() {
  return SpeechError(notPrepared, "the speech analyzer was started before it was prepared");
}

}  // namespace platform
