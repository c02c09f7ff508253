#include "platform/sys/FileHandle.h"

#include <cerrno>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

#include "platform/sys/FileError.h"

namespace platform {

FileHandle FileHandle::forWritingAtPath(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) throw FileError::fromErrno("open", path, errno);
  return FileHandle(path, fd);
}

FileHandle::FileHandle(FileHandle&& other) noexcept
    : path_(std::move(other.path_)), fd_(std::exchange(other.fd_, -1)) {}

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    path_ = std::move(other.path_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

FileHandle::~FileHandle() {
  if (fd_ >= 0) ::close(fd_);
}

void FileHandle::write(std::span<const std::byte> bytes) {
  if (fd_ < 0) throw FileError::fromErrno("write", path_, EBADF);
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd_, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      throw FileError::fromErrno("write", path_, errno);
    }
    bytes = bytes.subspan(static_cast<std::size_t>(written));
  }
}

void FileHandle::synchronize() {
  if (fd_ < 0) throw FileError::fromErrno("sync", path_, EBADF);
  if (::fsync(fd_) != 0) throw FileError::fromErrno("sync", path_, errno);
}

void FileHandle::close() {
  if (fd_ < 0) return;
  // Linux releases the descriptor even when close fails, so it is never retried.
  const int result = ::close(std::exchange(fd_, -1));
  if (result != 0 && errno != EINTR) throw FileError::fromErrno("close", path_, errno);
}

}  // namespace platform
