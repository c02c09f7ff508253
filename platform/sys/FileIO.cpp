#include "platform/sys/FileIO.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <memory>
#include <random>
#include <vector>

#include <dirent.h>
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
// as a name can be; ".tmp", so that no reader looking for the target's extension takes it. The
// start-up sweep recognises exactly this form (isTemporaryFileName).
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

// Copies the byte range [begin, end) of `in` to the same offsets of `out`; returns where the
// source ended when it ends early (it shrank meanwhile), else `end`.
off_t copyRange(int in, int out, off_t begin, off_t end, std::vector<char>& buffer,
                const std::filesystem::path& from, const std::filesystem::path& temporary) {
  off_t at = begin;
  while (at < end) {
    const auto wanted =
        static_cast<std::size_t>(std::min<off_t>(end - at, static_cast<off_t>(buffer.size())));
    const ssize_t n = ::pread(in, buffer.data(), wanted, at);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw FileError::fromErrno("read", from, errno);
    }
    if (n == 0) return at;
    for (ssize_t done = 0; done < n;) {
      const ssize_t written =
          ::pwrite(out, buffer.data() + done, static_cast<std::size_t>(n - done), at + done);
      if (written < 0) {
        if (errno == EINTR) continue;
        throw FileError::fromErrno("write", temporary, errno);
      }
      done += written;
    }
    at += n;
  }
  return at;
}

// Copies the data regions of a regular file, skipping its holes; false when the file system
// cannot tell data from holes, before anything was written.
bool copySparse(int in, int out, std::vector<char>& buffer, const std::filesystem::path& from,
                const std::filesystem::path& temporary) {
  off_t at = 0;
  for (;;) {
    const off_t data = ::lseek(in, at, SEEK_DATA);
    if (data < 0) {
      if (errno == ENXIO) break;  // nothing but a hole (or nothing) from `at` on
      if (at == 0 && (errno == EINVAL || errno == EOPNOTSUPP)) return false;
      throw FileError::fromErrno("read", from, errno);
    }
    const off_t hole = ::lseek(in, data, SEEK_HOLE);
    if (hole < 0) throw FileError::fromErrno("read", from, errno);
    const off_t reached = copyRange(in, out, data, hole, buffer, from, temporary);
    at = hole;
    if (reached < hole) {
      at = reached;
      break;
    }
  }
  // A trailing hole leaves no data region behind it: the length comes from the file itself.
  struct stat info {};
  if (::fstat(in, &info) != 0) throw FileError::fromErrno("read", from, errno);
  if (::ftruncate(out, std::max<off_t>(at, info.st_size)) != 0) {
    throw FileError::fromErrno("write", temporary, errno);
  }
  return true;
}

// Copies everything `in` delivers until its end (pipes, character devices, file systems without
// holes).
void copyStream(int in, int out, std::vector<char>& buffer, const std::filesystem::path& from,
                const std::filesystem::path& temporary) {
  for (;;) {
    const ssize_t n = ::read(in, buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw FileError::fromErrno("read", from, errno);
    }
    if (n == 0) return;
    writeAll(out, std::string_view(buffer.data(), static_cast<std::size_t>(n)), temporary);
  }
}

// Creates a fresh temporary file beside `path`; returns its descriptor and sets `temporary`.
int createTemporarySibling(const std::filesystem::path& path, std::filesystem::path& temporary) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    temporary = temporarySibling(path);
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) return fd;
    if (errno != EEXIST) throw FileError::fromErrno("create", temporary, errno);
  }
  throw FileError::fromErrno("create", temporary, EEXIST);
}

// Puts the temporary file behind `fd` on disk, closes it and renames it over `path`.
void commitTemporary(FileDescriptor& fd, const std::filesystem::path& temporary,
                     const std::filesystem::path& path) {
  if (::fsync(fd.get()) != 0) throw FileError::fromErrno("sync", temporary, errno);
  if (int error = fd.close(); error != 0) throw FileError::fromErrno("close", temporary, error);
  if (::rename(temporary.c_str(), path.c_str()) != 0) throw FileError::fromErrno("replace", path, errno);
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
  FileDescriptor fd(createTemporarySibling(path, temporary));
  try {
    writeAll(fd.get(), bytes, temporary);
    commitTemporary(fd, temporary, path);
  } catch (...) {
    ::unlink(temporary.c_str());
    throw;
  }
  syncFolder(path.parent_path());
}

void copyFileAtomically(const std::filesystem::path& from, const std::filesystem::path& to) {
  FileDescriptor in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) throw FileError::fromErrno("open", from, errno);
  struct stat info {};
  if (::fstat(in.get(), &info) != 0) throw FileError::fromErrno("open", from, errno);
  if (S_ISDIR(info.st_mode)) throw FileError::fromErrno("read", from, EISDIR);
  std::filesystem::path temporary;
  FileDescriptor out(createTemporarySibling(to, temporary));
  try {
    std::vector<char> buffer(1 << 20);
    if (!S_ISREG(info.st_mode) || !copySparse(in.get(), out.get(), buffer, from, temporary)) {
      copyStream(in.get(), out.get(), buffer, from, temporary);
    }
    commitTemporary(out, temporary, to);
  } catch (...) {
    ::unlink(temporary.c_str());
    throw;
  }
  syncFolder(to.parent_path());
}

void replaceFileAtomically(const std::filesystem::path& path,
                           const std::function<void(const std::filesystem::path& temporary)>& write) {
  std::filesystem::path temporary;
  FileDescriptor created(createTemporarySibling(path, temporary));
  try {
    if (int error = created.close(); error != 0) throw FileError::fromErrno("close", temporary, error);
    write(temporary);
    // Opened again: `write` may have reopened or truncated the file, and fsync needs no write access.
    FileDescriptor written(::open(temporary.c_str(), O_RDONLY | O_CLOEXEC));
    if (written.get() < 0) throw FileError::fromErrno("open", temporary, errno);
    commitTemporary(written, temporary, path);
  } catch (...) {
    ::unlink(temporary.c_str());
    throw;
  }
  syncFolder(path.parent_path());
}

bool isTemporaryFileName(std::string_view name) {
  // The form temporarySibling() gives: ".{:016x}.tmp".
  if (name.size() != 21 || !name.starts_with('.') || !name.ends_with(".tmp")) return false;
  const std::string_view digits = name.substr(1, 16);
  return std::all_of(digits.begin(), digits.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

RemovedFiles removeStaleTemporaryFiles(const std::filesystem::path& folder,
                                       std::chrono::seconds minimumAge) {
  RemovedFiles removed;
  std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(folder.c_str()), &::closedir);
  if (!listing) return removed;
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  while (const dirent* entry = ::readdir(listing.get())) {
    if (!isTemporaryFileName(entry->d_name)) continue;
    struct stat info {};
    if (::fstatat(::dirfd(listing.get()), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISREG(info.st_mode)) continue;
    const auto age = std::chrono::seconds(now.tv_sec - info.st_mtim.tv_sec) +
                     std::chrono::nanoseconds(now.tv_nsec - info.st_mtim.tv_nsec);
    if (age <= minimumAge) continue;
    if (::unlinkat(::dirfd(listing.get()), entry->d_name, 0) != 0) continue;
    ++removed.count;
    removed.bytes += static_cast<std::uintmax_t>(info.st_size);
  }
  return removed;
}

bool createEmptyFile(const std::filesystem::path& path) {
  FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  return fd.get() >= 0;
}

}  // namespace platform
