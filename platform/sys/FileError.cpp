#include "platform/sys/FileError.h"

#include <cstring>
#include <utility>

#include <fmt/format.h>

namespace platform {

FileError::FileError(const char* domain, int code, std::string description, std::filesystem::path path)
    : Error("FileError", domain, code, std::move(description), std::move(path), nullptr) {}

FileError FileError::fromErrno(const std::string& operation, const std::filesystem::path& path,
                               int errnum) {
  return FileError(kPosixDomain, errnum,
                   fmt::format("cannot {} '{}': {}", operation, path.string(), std::strerror(errnum)),
                   path);
}

FileError FileError::cocoa(int code, const std::filesystem::path& path, std::string description) {
  return FileError(kCocoaDomain, code, std::move(description), path);
}

}  // namespace platform
