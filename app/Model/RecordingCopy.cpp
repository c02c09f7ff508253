#include "app/Model/RecordingCopy.h"

#include <system_error>

#include "platform/audio/AudioFile.h"
#include "platform/sys/FileError.h"
#include "platform/sys/FileIO.h"

namespace veltovoice {

CopiedRecording copyRecording(const std::filesystem::path& source, const std::filesystem::path& target) {
  CopiedRecording copied;
  try {
    std::error_code error;
    std::filesystem::create_directories(target.parent_path(), error);
    if (error) {
      throw platform::FileError::fromErrno("create folder", target.parent_path(), error.value());
    }
    platform::copyFileAtomically(source, target);
  } catch (...) {
    copied.failure = std::current_exception();
    return copied;
  }
  copied.duration = platform::AudioFile::duration(target);
  return copied;
}

}  // namespace veltovoice
