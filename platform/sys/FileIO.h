#pragma once

#include <filesystem>
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

// Creates an empty file at `path` (mode 0666 less the umask), emptying a file already there.
// Returns false when the system refuses (no such folder, no permission, a folder at `path`).
bool createEmptyFile(const std::filesystem::path& path);

}  // namespace platform
