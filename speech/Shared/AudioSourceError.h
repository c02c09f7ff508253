#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "platform/sys/Error.h"

namespace tesselaudio {

// The failure of AudioSourceFactory: one case, processingFailed, whose description is
// "Processing failed: <message>". A platform failure it stands for is kept as the underlying error.
// Values.
class AudioSourceError : public platform::Error {
 public:
  static constexpr const char* kDomain = "TesselAudio.AudioSourceError";

  enum class Case { processingFailed };

  static AudioSourceError processingFailed(std::string message, std::exception_ptr underlying = nullptr);

  Case errorCase() const { return Case::processingFailed; }
  // The message after "Processing failed: ".
  const std::string& message() const { return message_; }

 private:
  AudioSourceError(std::string message, std::exception_ptr underlying);

  std::string message_;
};

}  // namespace tesselaudio
