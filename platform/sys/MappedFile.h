#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <span>

namespace platform {

// The bytes of a whole file, read-only: mapped into memory when the system allows it, else read
// into memory once. Pages of a mapped file are loaded only when touched, so opening a large file
// costs address space, not memory or time. Shared between holders through shared_ptr; safe to
// read from any thread.
//
// A mapped file that another process truncates while it is mapped makes reads past the new end
// raise SIGBUS; that is not handled.
class MappedFile {
 public:
  // Maps the file at `path` read-only; when mapping fails (an empty file, a special file, a file
  // system that does not map), reads it into memory instead.
  // Throws FileError when the file cannot be opened, inspected or read.
  static std::shared_ptr<const MappedFile> mapIfSafe(const std::filesystem::path& path);

  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::span<const std::byte> bytes() const { return {data_, size_}; }
  const std::byte* data() const { return data_; }
  std::size_t size() const { return size_; }
  // True when the bytes are a mapping of the file rather than a copy read from it.
  bool isMapped() const { return mapped_; }

 private:
  MappedFile(std::filesystem::path path, const std::byte* data, std::size_t size, bool mapped,
             std::unique_ptr<std::byte[]> copy);

  std::filesystem::path path_;
  const std::byte* data_;
  std::size_t size_;
  bool mapped_;
  std::unique_ptr<std::byte[]> copy_;
};

}  // namespace platform
