#pragma once

#include <string>

#include "platform/sys/Error.h"

namespace platform {

// The failures of the audio layer: opening, creating, reading and writing audio files, with the
// path and FFmpeg's own message in the description.
class AudioError : public Error {
 public:
  enum Code : int {
    cannotOpen = 1,         // a file could not be opened or holds no decodable audio
    cannotCreate = 2,       // a file could not be created for writing with the given settings
    readFailed = 3,         // decoding failed, or the stream ended before its length
    writeFailed = 4,        // encoding or writing failed
    formatMismatch = 5,     // a buffer in another format than the one required
    unusableFormat = 6,     // a file's audio stream reports no sample rate or no channels
  };

  static AudioError openFailed(const std::string& path, const std::string& detail);
  static AudioError createFailed(const std::string& path, const std::string& detail);
  static AudioError readError(const std::string& path, const std::string& detail);
  static AudioError writeError(const std::string& path, const std::string& detail);
  static AudioError mismatchedFormat(const std::string& detail);
  static AudioError formatUnusable(const std::string& path, const std::string& detail);

  // FFmpeg's text for one of its error numbers.
  static std::string ffmpegMessage(int errnum);

 private:
  AudioError(Code code, std::string description);
};

}  // namespace platform
