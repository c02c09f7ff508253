#pragma once

#include <cstdint>
#include <exception>

#include "platform/sys/Error.h"

namespace tesselaudio {

// The failures of AudioConverter. One factory per case; code() is the case's position
// (conversionFailed 0 ... failedToCreateSourceFormat 5), the description the case's fixed English
// text. Values.
class AudioConverterError : public platform::Error {
 public:
  static constexpr const char* kDomain = "TesselAudio.AudioConverterError";

  enum class Case {
    conversionFailed,
    sampleBufferCopyFailed,
    failedToCreateConverter,
    failedToCreateBuffer,
    sampleBufferFormatMissing,
    failedToCreateSourceFormat,
  };

  // "Audio conversion failed: <underlying's description>", or "... Unknown error" without one;
  // `underlying` is kept.
  static AudioConverterError conversionFailed(std::exception_ptr underlying = nullptr);
  // "Failed to copy samples from CMSampleBuffer (status: <status>)".
  static AudioConverterError sampleBufferCopyFailed(std::int32_t status);
  static AudioConverterError failedToCreateConverter();
  static AudioConverterError failedToCreateBuffer();
  static AudioConverterError sampleBufferFormatMissing();
  static AudioConverterError failedToCreateSourceFormat();

  Case errorCase() const { return static_cast<Case>(code()); }

  // The payload of sampleBufferCopyFailed; 0 otherwise.
  std::int32_t status() const { return status_; }

 private:
  AudioConverterError(Case errorCase, std::string description, std::exception_ptr underlying = nullptr,
                      std::int32_t status = 0);

  std::int32_t status_;
};

}  // namespace tesselaudio
