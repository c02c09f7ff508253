#include "speech/Shared/AudioConverterError.h"

#include <optional>
#include <string>
#include <utility>

#include <fmt/format.h>

namespace tesselaudio {

AudioConverterError::AudioConverterError(Case errorCase, std::string description,
                                         std::exception_ptr underlying, std::int32_t status)
    : platform::Error("AudioConverterError", kDomain, static_cast<int>(errorCase),
                      std::move(description), std::nullopt, std::move(underlying)),
      status_(status) {}

AudioConverterError AudioConverterError::conversionFailed(std::exception_ptr underlying) {
  const std::string reason = underlying ? platform::Error::messageOf(underlying) : "Unknown error";
  return AudioConverterError(Case::conversionFailed, "Audio conversion failed: " + reason,
                             std::move(underlying));
}

AudioConverterError AudioConverterError::sampleBufferCopyFailed(std::int32_t status) {
  return AudioConverterError(Case::sampleBufferCopyFailed,
                             fmt::format("Failed to copy samples from CMSampleBuffer (status: {})", status),
                             nullptr, status);
}

AudioConverterError AudioConverterError::failedToCreateConverter() {
  return AudioConverterError(Case::failedToCreateConverter, "Failed to create audio converter");
}

AudioConverterError AudioConverterError::failedToCreateBuffer() {
  return AudioConverterError(Case::failedToCreateBuffer, "Failed to create conversion buffer");
}

AudioConverterError AudioConverterError::sampleBufferFormatMissing() {
  return AudioConverterError(Case::sampleBufferFormatMissing,
                             "Sample buffer is missing a valid audio format description.");
}

AudioConverterError AudioConverterError::failedToCreateSourceFormat() {
  return AudioConverterError(Case::failedToCreateSourceFormat,
                             "Failed to create a source audio format description for CMSampleBuffer.");
}

}  // namespace tesselaudio
