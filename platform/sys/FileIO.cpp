#include "platform/sys/FileIO.h"

#include <cerrno>
#include <random>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include "platform/sys/FileError.h"

namespace platform {
namespace {

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int get() const { return fd_; }
  // Closes now and returns close()'s errno, or 0.
  int close() {
    int result = ::close(fd_) == 0 ? 0 : errno;
    fd_ = -1;
    return result;
  }

 private:
  int fd_;
};

// A short hidden name beside the target: short, because the target's name may already be as long
// as a name can be; ".tmp", so that no reader looking for the target's extension takes it.
std::filesystem::path temporarySibling(const std::filesystem::path& path) {
  static thread_local std::mt19937_64 random{std::random_device{}()};
  return path.parent_path() / fmt::format(".{:016x}.tmp", static_cast<uint64_t>(random()));
}

void writeAll(int fd, std::string_view bytes, const std::filesystem::path& path) {
  while (!bytes.empty()) {
    ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      throw FileError::fromErrno("write", path, errno);
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

// Makes the rename itself durable; a folder that cannot be synced costs durability, not data.
void syncFolder(const std::filesystem::path& folder) {
  FileDescriptor fd(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() >= 0) ::fsync(fd.get());
}

}  // namespace

std::string readFile(const std::filesystem::path& path) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) throw FileError::fromErrno("open", path, errno);
  std::string content;
  struct stat info {};
  if (::fstat(fd.get(), &info) == 0 && info.st_size > 0) {
    content.reserve(static_cast<std::size_t>(info.st_size));
  }
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw FileError::fromErrno("read", path, errno);
    }
    if (n == 0) break;
    content.append(buffer, static_cast<std::size_t>(n));
  }
  return content;
}

void writeFileAtomically(const std::filesystem::path& path, std::string_view bytes) {
  std::filesystem::path temporary;
  int fdNumber = -1;
  for (int attempt = 0; attempt < 100 && fdNumber < 0; ++attempt) {
    temporary = temporarySibling(path);
    fdNumber = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fdNumber < 0 && errno != EEXIST) throw FileError::fromErrno("create", temporary, errno);
  }
  if (fdNumber < 0) throw FileError::fromErrno("create", temporary, EEXIST);
  FileDescriptor fd(fdNumber);
  try {
    writeAll(fd.get(), bytes, temporary);
    if (::fsync(fd.get()) != 0) throw FileError::fromErrno("sync", temporary, errno);
    if (int error = fd.close(); error != 0) throw FileError::fromErrno("close", temporary, error);
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
      throw FileError::fromErrno("replace", path, errno);
    }
  } catch (...) {
    ::unlink(temporary.c_str());
    throw;
  }
  syncFolder(path.parent_path());
}

bool createEmptyFile(const std::filesystem::path& path) {
  FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  return fd.get() >= 0;
}

}  // namespace platform
