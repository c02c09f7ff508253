#pragma once

#include <filesystem>
#include <string>

#include "platform/sys/Error.h"

namespace platform {

// A failed file-system call: domain "POSIX", the errno value as code, and a description that names
// the operation and the path ("cannot write '/x/y.json': No space left on device"); the path is
// also the error's filePath(). Also the platform's file errors about the state of a file rather
// than a failed call: domain "NSCocoaErrorDomain" with the codes below. Values.
class FileError : public Error {
 public:
  static constexpr const char* kPosixDomain = "POSIX";
  static constexpr const char* kCocoaDomain = "NSCocoaErrorDomain";

  // Codes of the platform's file-error domain.
  static constexpr int fileNoSuchFile = 4;
  static constexpr int fileReadCorruptFile = 259;
  static constexpr int fileReadNoSuchFile = 260;
  static constexpr int fileReadInapplicableStringEncoding = 261;

  // The error of `operation` ("open", "write", "rename", ...) on `path` that failed with `errnum`.
  static FileError fromErrno(const std::string& operation, const std::filesystem::path& path,
                             int errnum);

  // An error of the platform's file-error domain with `code` about `path`.
  static FileError cocoa(int code, const std::filesystem::path& path, std::string description);

 private:
  FileError(const char* domain, int code, std::string description, std::filesystem::path path);
};

}  // namespace platform
