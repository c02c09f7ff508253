#pragma once

#include <filesystem>

namespace platform::ArchiveExtractor {

// Unpacks the gzip-compressed tar archive at `archive` into the existing, empty folder
// `destination`. Only folders, regular files, hard links and symbolic links are accepted; an entry
// whose name is absolute or has a ".." component, a link that points outside `destination`, or a
// path that runs through a symbolic link is refused before it is written, so nothing outside
// `destination` is ever written. Regular files keep their permission bits (less the umask).
// Throws UpdateError::archiveUnsafe naming the entry, or UpdateError::archiveInvalid when the
// archive cannot be read or written out. On a throw `destination` may hold part of the archive:
// the caller removes it.
void extract(const std::filesystem::path& archive, const std::filesystem::path& destination);

}  // namespace platform::ArchiveExtractor
