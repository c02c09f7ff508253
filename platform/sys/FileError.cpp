#include "platform/sys/FileError.h"

#include <cstring>
#include <utility>

#include <fmt/format.h>

namespace platform {

FileError::FileError(int errnum, std::string description, std::filesystem::path path)
    : Error("FileError", "POSIX", errnum, std::move(description), std::move(path), nullptr) {}

FileError FileError::fromErrno(const std::string& operation, const std::filesystem::path& path,
                               int errnum) {
  return FileError(errnum,
                   fmt::format("cannot {} '{}': {}", operation, path.string(), std::strerror(errnum)),
                   path);
}

}  // namespace platform
