#include "platform/update/ArchiveExtractor.h"

#include <memory>
#include <optional>
#include <string>

#include <archive.h>
#include <archive_entry.h>
#include <fmt/format.h>

#include "platform/update/UpdateError.h"

namespace platform::ArchiveExtractor {

namespace {

namespace fs = std::filesystem;

using ReadHandle = std::unique_ptr<struct archive, decltype(&archive_read_free)>;
using WriteHandle = std::unique_ptr<struct archive, decltype(&archive_write_free)>;

constexpr std::size_t kBlockBytes = 64 * 1024;

// The entry's name relative to the destination, without "./" parts; nullopt when the name is
// absolute or climbs with "..". An empty result names the destination itself.
std::optional<fs::path> containedPath(const std::string& name) {
  const fs::path path(name);
  if (path.is_absolute() || name.empty()) return std::nullopt;
  fs::path relative;
  for (const fs::path& part : path) {
    if (part == "..") return std::nullopt;
    if (part == "." || part.empty()) continue;
    relative /= part;
  }
  return relative;
}

// Whether a symbolic link at `entry` (relative) pointing to `target` stays inside the destination.
bool linkStaysInside(const fs::path& entry, const std::string& target) {
  const fs::path path(target);
  if (target.empty() || path.is_absolute()) return false;
  const fs::path resolved = (entry.parent_path() / path).lexically_normal();
  return !resolved.empty() && *resolved.begin() != "..";
}

std::string readError(struct archive* handle) {
  const char* message = archive_error_string(handle);
  return message != nullptr ? message : "unknown archive error";
}

void copyData(struct archive* reader, struct archive* writer, const std::string& name) {
  const void* block = nullptr;
  size_t size = 0;
  la_int64_t offset = 0;
  for (;;) {
    const int status = archive_read_data_block(reader, &block, &size, &offset);
    if (status == ARCHIVE_EOF) return;
    if (status != ARCHIVE_OK) throw UpdateError::archiveInvalid(fmt::format("{}: {}", name, readError(reader)));
    if (archive_write_data_block(writer, block, size, offset) != ARCHIVE_OK) {
      throw UpdateError::archiveInvalid(fmt::format("{}: {}", name, readError(writer)));
    }
  }
}

// Vets one entry and points its names into `root`; false when it is the root folder itself.
bool prepareEntry(struct archive_entry* entry, const fs::path& root) {
  const char* rawName = archive_entry_pathname(entry);
  const std::string name = rawName != nullptr ? rawName : "";
  const auto relative = containedPath(name);
  if (!relative) throw UpdateError::archiveUnsafe(name);

  const mode_t type = archive_entry_filetype(entry);
  const char* hardlink = archive_entry_hardlink(entry);
  if (hardlink != nullptr) {
    const auto target = containedPath(hardlink);
    if (!target || target->empty()) throw UpdateError::archiveUnsafe(name);
    archive_entry_set_hardlink(entry, (root / *target).c_str());
  } else if (type == AE_IFLNK) {
    const char* target = archive_entry_symlink(entry);
    if (target == nullptr || !linkStaysInside(*relative, target)) throw UpdateError::archiveUnsafe(name);
  } else if (type != AE_IFREG && type != AE_IFDIR) {
    throw UpdateError::archiveUnsafe(name);
  }
  if (relative->empty()) {
    if (type != AE_IFDIR) throw UpdateError::archiveUnsafe(name);
    return false;
  }
  archive_entry_set_pathname(entry, (root / *relative).c_str());
  return true;
}

}  // namespace

void extract(const fs::path& archive, const fs::path& destination) {
  // Resolved once, so that the symbolic-link guard below never trips over the folder's own parents.
  const fs::path root = fs::canonical(destination);

  ReadHandle reader(archive_read_new(), &archive_read_free);
  WriteHandle writer(archive_write_disk_new(), &archive_write_free);
  if (!reader || !writer) throw UpdateError::archiveInvalid("out of memory");
  archive_read_support_filter_gzip(reader.get());
  archive_read_support_format_tar(reader.get());
  archive_write_disk_set_options(writer.get(), ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_SECURE_SYMLINKS |
                                                   ARCHIVE_EXTRACT_SECURE_NODOTDOT | ARCHIVE_EXTRACT_NO_OVERWRITE);
  if (archive_read_open_filename(reader.get(), archive.c_str(), kBlockBytes) != ARCHIVE_OK) {
    throw UpdateError::archiveInvalid(fmt::format("{}: {}", archive.string(), readError(reader.get())));
  }

  for (;;) {
    struct archive_entry* entry = nullptr;
    const int status = archive_read_next_header(reader.get(), &entry);
    if (status == ARCHIVE_EOF) break;
    if (status != ARCHIVE_OK) throw UpdateError::archiveInvalid(readError(reader.get()));
    const std::string name = archive_entry_pathname(entry) != nullptr ? archive_entry_pathname(entry) : "";
    if (!prepareEntry(entry, root)) continue;
    if (archive_write_header(writer.get(), entry) != ARCHIVE_OK) {
      throw UpdateError::archiveUnsafe(fmt::format("{}: {}", name, readError(writer.get())));
    }
    if (archive_entry_size(entry) > 0) copyData(reader.get(), writer.get(), name);
    if (archive_write_finish_entry(writer.get()) != ARCHIVE_OK) {
      throw UpdateError::archiveInvalid(fmt::format("{}: {}", name, readError(writer.get())));
    }
  }
  if (archive_write_close(writer.get()) != ARCHIVE_OK) throw UpdateError::archiveInvalid(readError(writer.get()));
}

}  // namespace platform::ArchiveExtractor
