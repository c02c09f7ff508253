#include "platform/sys/MappedFile.h"

#include <algorithm>
#include <cerrno>
#include <utility>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/sys/FileError.h"

namespace platform {
namespace {

// Closes the descriptor when the scope ends; a mapping outlives it.
struct Descriptor {
  int fd;
  ~Descriptor() { ::close(fd); }
};

// Reads everything `fd` holds from its start; `sizeHint` is where the buffer starts.
std::pair<std::unique_ptr<std::byte[]>, std::size_t> readAll(int fd, const std::filesystem::path& path,
                                                             std::size_t sizeHint) {
  // One byte over the hint, so that the read that finds the end needs no larger buffer.
  std::size_t capacity = sizeHint > 0 ? sizeHint + 1 : 65536;
  auto buffer = std::make_unique<std::byte[]>(capacity);
  std::size_t size = 0;
  for (;;) {
    if (size == capacity) {
      auto larger = std::make_unique<std::byte[]>(capacity * 2);
      std::copy(buffer.get(), buffer.get() + size, larger.get());
      buffer = std::move(larger);
      capacity *= 2;
    }
    const ssize_t got = ::read(fd, buffer.get() + size, capacity - size);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw FileError::fromErrno("read", path, errno);
    }
    if (got == 0) break;
    size += static_cast<std::size_t>(got);
  }
  return {std::move(buffer), size};
}

}  // namespace

MappedFile::MappedFile(std::filesystem::path path, const std::byte* data, std::size_t size, bool mapped,
                       std::unique_ptr<std::byte[]> copy)
    : path_(std::move(path)), data_(data), size_(size), mapped_(mapped), copy_(std::move(copy)) {}

MappedFile::~MappedFile() {
  if (mapped_) ::munmap(const_cast<std::byte*>(data_), size_);
}

std::shared_ptr<const MappedFile> MappedFile::mapIfSafe(const std::filesystem::path& path) {
  const int fdNumber = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fdNumber < 0) throw FileError::fromErrno("open", path, errno);
  const Descriptor descriptor{fdNumber};
  struct stat info {};
  if (::fstat(fdNumber, &info) != 0) throw FileError::fromErrno("inspect", path, errno);

  if (S_ISREG(info.st_mode) && info.st_size > 0) {
    const auto size = static_cast<std::size_t>(info.st_size);
    void* address = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fdNumber, 0);
    if (address != MAP_FAILED) {
      return std::shared_ptr<const MappedFile>(
          new MappedFile(path, static_cast<const std::byte*>(address), size, true, nullptr));
    }
  }
  // A file of size 0 may still have content (files under /proc), so it is read rather than taken
  // as empty.
  const std::size_t hint = info.st_size > 0 ? static_cast<std::size_t>(info.st_size) : 0;
  auto [copy, size] = readAll(fdNumber, path, hint);
  const std::byte* data = copy.get();
  return std::shared_ptr<const MappedFile>(new MappedFile(path, data, size, false, std::move(copy)));
}

}  // namespace platform
