#pragma once

#include <filesystem>
#include <string>

#include "platform/sys/Error.h"

namespace platform {

// A failed file-system call: domain "POSIX", the errno value as code, and a description that names
// the operation and the path ("cannot write '/x/y.json': No space left on device"). Values.
class FileError : public Error {
 public:
  // The error of `operation` ("open", "write", "rename", ...) on `path` that failed with `errnum`.
  static FileError fromErrno(const std::string& operation, const std::filesystem::path& path,
                             int errnum);

  const std::filesystem::path& path() const { return path_; }

 private:
  FileError(int errnum, std::string description, std::filesystem::path path);

  std::filesystem::path path_;
};

}  // namespace platform
