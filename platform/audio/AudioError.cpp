#include "platform/audio/AudioError.h"

#include <utility>

#include <fmt/format.h>

extern "C" {
#include <libavutil/error.h>
}

namespace platform {

AudioError::AudioError(Code code, std::string description)
    : Error("platform::AudioError", "platform.audio", code, std::move(description)) {}

AudioError AudioError::openFailed(const std::string& path, const std::string& detail) {
  return AudioError(cannotOpen, fmt::format("cannot open audio file '{}': {}", path, detail));
}

AudioError AudioError::createFailed(const std::string& path, const std::string& detail) {
  return AudioError(cannotCreate, fmt::format("cannot create audio file '{}': {}", path, detail));
}

AudioError AudioError::readError(const std::string& path, const std::string& detail) {
  return AudioError(readFailed, fmt::format("cannot read audio file '{}': {}", path, detail));
}

AudioError AudioError::writeError(const std::string& path, const std::string& detail) {
  return AudioError(writeFailed, fmt::format("cannot write audio file '{}': {}", path, detail));
}

AudioError AudioError::mismatchedFormat(const std::string& detail) {
  return AudioError(formatMismatch, fmt::format("audio format mismatch: {}", detail));
}

AudioError AudioError::formatUnusable(const std::string& path, const std::string& detail) {
  return AudioError(unusableFormat, fmt::format("cannot use audio file '{}': {}", path, detail));
}

std::string AudioError::ffmpegMessage(int errnum) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  if (av_strerror(errnum, text, sizeof text) < 0) return fmt::format("FFmpeg error {}", errnum);
  return text;
}

}  // namespace platform
