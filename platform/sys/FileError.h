#pragma once

#include <filesystem>
#include <string>

#include "platform/sys/Error.h"

namespace platform {

// A failed file-system call: domain "POSIX", the errno value as code, and a description that names
// the operation and the path ("cannot write '/x/y.json': No space left on device"); the path is
// also the error's filePath(). Values.
class FileError : public Error {
 public:
  // The error of `operation` ("open", "write", "rename", ...) on `path` that failed with `errnum`.
  static FileError fromErrno(const std::string& operation, const std::filesystem::path& path,
                             int errnum);

 private:
  FileError(int errnum, std::string description, std::filesystem::path path);
};

}  // namespace platform
