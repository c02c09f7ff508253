#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

// Whole-file reads and crash-safe whole-file writes. Safe from any thread; concurrent writers of
// one path leave one of their files, never a mix.
namespace platform {

// The whole content of the file at `path`. Throws FileError when it cannot be opened or read.
std::string readFile(const std::filesystem::path& path);

// Replaces the file at `path` by one holding exactly `bytes`: the bytes go to a fresh temporary
// file in the same folder, are flushed to disk, and the temporary file is renamed over `path`, so
// that a reader or a crash sees either the old or the new complete file. The new file gets mode
// 0666 less the umask. Throws FileError when any step fails; the old file is then untouched and the
// temporary file removed.
void writeFileAtomically(const std::filesystem::path& path, std::string_view bytes);

// Copies the file at `from` to `to` the same way: the bytes stream through a fresh temporary file in
// the folder of `to` (never all in memory; holes of a sparse source stay holes), which is flushed
// to disk and renamed over `to`. `from` is only read; it may be anything that reads as a stream of
// bytes (a pipe waits for its writer), and the copy holds what it read up to its end. Throws
// FileError when any step fails; whatever was at `to` is then untouched and the temporary file
// removed. Copying a file onto itself (or through a link onto itself) leaves it whole.
void copyFileAtomically(const std::filesystem::path& from, const std::filesystem::path& to);

// Replaces the file at `path` by the one that `write` makes: `write` is given the path of a fresh,
// empty temporary file in the same folder and writes it by that path (reopening and truncating it
// is fine); the file is then flushed to disk and renamed over `path`, as above. Throws what `write`
// throws, or FileError when a step of our own fails; the old file is then untouched and the
// temporary file removed.
void replaceFileAtomically(const std::filesystem::path& path,
                           const std::function<void(const std::filesystem::path& temporary)>& write);

// Whether `name` is of the form the temporary files above take: "." followed by 16 lower-case
// hexadecimal digits and ".tmp". Such a file outlives its write only when the process died
// between creating and renaming it.
bool isTemporaryFileName(std::string_view name);

struct RemovedFiles {
  std::size_t count = 0;
  std::uintmax_t bytes = 0;
};

// Removes the temporary files above that `folder` holds directly and that nothing has changed for
// longer than `minimumAge`: regular files (not links) with such a name only; nothing else is ever
// touched, and younger ones may still be written by a running process. Returns how many were
// removed and their size. Never throws: a folder that cannot be listed or a file that cannot be
// removed is passed over.
RemovedFiles removeStaleTemporaryFiles(const std::filesystem::path& folder,
                                       std::chrono::seconds minimumAge);

// Creates an empty file at `path` (mode 0666 less the umask), emptying a file already there.
// Returns false when the system refuses (no such folder, no permission, a folder at `path`).
bool createEmptyFile(const std::filesystem::path& path);

}  // namespace platform
