#pragma once

#include <cstddef>
#include <filesystem>
#include <span>

namespace platform {

// A file opened for writing from its first byte: each write goes out with write(2) after the
// previous one, synchronize() makes what was written durable (fsync), close() reports the close's
// own failure. A handle still open on destruction is closed and the outcome ignored. Movable, not
// copyable; one thread at a time.
class FileHandle {
 public:
  // Opens the existing file at `path` for writing; nothing in it is removed.
  // Throws FileError when it cannot be opened.
  static FileHandle forWritingAtPath(const std::filesystem::path& path);

  FileHandle(FileHandle&& other) noexcept;
  FileHandle& operator=(FileHandle&& other) noexcept;
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle();

  const std::filesystem::path& path() const { return path_; }
  bool isOpen() const { return fd_ >= 0; }

  // Writes all of `bytes`. Throws FileError when the system refuses (a full disk, a closed handle).
  void write(std::span<const std::byte> bytes);

  // Flushes what was written to the storage device. Throws FileError on failure.
  void synchronize();

  // Closes the handle; a second call does nothing. Throws FileError when the close reports a
  // failure (the descriptor is released all the same).
  void close();

 private:
  FileHandle(std::filesystem::path path, int fd) : path_(std::move(path)), fd_(fd) {}

  std::filesystem::path path_;
  int fd_ = -1;
};

}  // namespace platform
