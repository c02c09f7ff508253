#pragma once

#include <string>

#include "platform/sys/Error.h"

namespace platform {

// Failures of the speech stand-in itself (the backends throw their own errors).
class SpeechError : public Error {
 public:
  enum Code : int {
    noBackend = 1,    // no speech backend is installed for the transcriber
    notPrepared = 2,  // the analyzer was started before prepareToAnalyze
  };

  static SpeechError missingBackend();
  static SpeechError analyzerNotPrepared();

 private:
  SpeechError(Code code, std::string description);
};

}  // namespace platform
