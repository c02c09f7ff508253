#pragma once

#include <cstdint>
#include <exception>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/crypto/HashFunction.h"
#include "speech/Shared/Download/RemoteFile.h"

// The on-disk model cache, one folder tree per repository under the models root
// (MLModelConfigurationUtils::defaultModelsDirectory):
//
//   <models root>/<Repo::folderName()>/            the repository folder, `at` of every operation
//     .tesselaudio-revision                        revision marker: the revision and one line feed,
//                                                  UTF-8, written atomically; only for revisions
//                                                  other than "main"; read back trimmed and
//                                                  compared case-sensitively
//     <path>                                       a cached file: its hub path, less "<subPath>/"
//     <path>.partial, <path>.partial.etag          a download in progress (see FileDownloader)
//     <Name>.mlmodelc/coremldata.bin               a compiled model must hold this at its top
//
// Stateless functions on local folders, safe from any thread; concurrent callers work on different
// files. Log lines go to the logger of model delivery (category "DownloadUtils"). File-system
// failures are platform::FileError values; a missing file (see isMissingFile) is never an error for
// the purges, attributesIfPresent or the legacy adoption.
namespace tesselaudio::ModelCache {

inline constexpr const char* kRevisionMarkerName = ".tesselaudio-revision";

// What lstat(2) says of an item; a symbolic link is reported as itself.
struct FileAttributes {
  enum class Type { regular, directory, symbolicLink, other };
  Type type = Type::other;
  int64_t size = 0;

  bool operator==(const FileAttributes&) const = default;
};

// Ties the folder to `revision` before a download: keeps it when its marker holds the revision, or
// when the revision is "main" and it has no marker (creating the folder when absent); otherwise
// removes whatever is at `at`, creates the folder again and, for a revision other than "main",
// writes the marker. Throws FileError.
void prepareForDownload(const std::filesystem::path& at, const std::string& revision);

// The required names (relative to `at`) that are not usable yet, sorted ascending: a ".mlmodelc"
// that fails validateCompiledModelLayout or holds a ".partial" item anywhere inside; any other name
// with nothing at its place (a folder counts as present). Never throws.
std::vector<std::string> incompleteFiles(const std::filesystem::path& at, const std::set<std::string>& requiredFiles);
// incompleteFiles is empty.
bool isCacheComplete(const std::filesystem::path& at, const std::set<std::string>& requiredFiles);

// The names with nothing at their place, sorted ascending. Never throws.
std::vector<std::string> missingModels(const std::filesystem::path& at, const std::set<std::string>& models);
// Throws DownloadError::modelNotFound with the first missing name in sorted order.
void verifyModelsPresent(const std::filesystem::path& at, const std::set<std::string>& models);

// Checks a compiled model's folder. Throws FileError in the platform's file-error domain, in this
// order: fileNoSuchFile (4) for nothing at `at`, "Model file not found: <name>"; fileReadCorruptFile
// (259) for a non-folder, "Model path is not a directory: <name>"; fileReadCorruptFile (259) with the
// path of the missing "coremldata.bin", "Missing coremldata.bin in model: <name>" (after logging
// "Missing coremldata.bin in <name>" as an error).
void validateCompiledModelLayout(const std::filesystem::path& at, const std::string& name);

// Removes at/name, at/name.partial and at/name.partial.etag for each name in order (folders with
// their contents, links as themselves), logging each removal; a missing item is passed over
// silently, any other failure is logged as a warning. Never throws.
void purgeCorruptedFiles(const std::vector<std::string>& names, const std::filesystem::path& at);

// Removes the whole folder and logs the outcome; never throws.
void purgeCorruptedCache(const std::filesystem::path& at);

// Creates the folder `at` with its ancestors even where a plain file blocks one of them: a blocking
// item strictly below `within` (the repository folder or the models root) is logged, removed and
// replaced by a folder. A blocking item at or above `within`, or anywhere when `at` does not lie
// below `within`, is left alone and the creation fails. Throws FileError.
void createDirectoryRobustly(const std::filesystem::path& at, const std::filesystem::path& within);

// For the listed files with a published size above 0 whose local copy (the listed path less
// "<subPath>/") is smaller (0 when missing or unreadable): "<local path> (<local>/<published> bytes)",
// sorted ascending. Never throws.
std::vector<std::string> undersizedFiles(const std::vector<RemoteFile>& remote, const std::filesystem::path& at,
                                         const std::optional<std::string>& subPath);

// True when the error, or an error in its chain of underlying errors, says that a file does not
// exist: file-error codes 4 and 260, POSIX ENOENT (also as a std::system_error). A chain that loops
// back on itself ends with false.
bool isMissingFile(const std::exception& error);
bool isMissingFile(const std::exception_ptr& error);

// The item's attributes, or none when nothing is there. Throws FileError for any other failure.
std::optional<FileAttributes> attributesIfPresent(const std::filesystem::path& at);

// What a legacy folder holds: compiled-model folders ("" for the repository folder itself when its
// name ends in ".mlmodelc") and regular files outside them, as paths relative to the folder.
struct LegacyContents {
  std::set<std::string> bundles;
  std::set<std::string> files;

  bool operator==(const LegacyContents&) const = default;
};

// The contents of a legacy folder: one for a revision other than "main", without a marker. None
// for any other folder or when nothing is at `at`. Items whose links lead outside the folder,
// partial downloads and items that vanish meanwhile are passed over. Throws FileError.
std::optional<LegacyContents> legacyCacheContents(const std::filesystem::path& at, const std::string& revision);

// Keeps what a legacy folder holds of the revision's listing `files` and writes the marker, so that
// only the rest is downloaded again: files whose size and content id match stay, except in a
// compiled model with any mismatching file, which goes as a whole; unlisted files and compiled
// models, files without a content id and partial downloads beside kept files are removed. Nothing
// outside the folder is removed (links are removed as themselves). Does nothing for a folder that
// is not a legacy one.
// Throws DownloadError::invalidResponse, before anything is hashed or removed, for a listed path
// that leaves the folder; FileError or CryptoError for other failures (missing files apart), which
// leave the marker unwritten.
void adoptLegacyCache(const std::filesystem::path& at, const std::string& revision,
                      const std::vector<RemoteFile>& files, const std::optional<std::string>& subPath);

// True when the regular file at `at` has the listed size (unless it is negative) and the listed
// content id (compared in lower case). False without a content id, for anything but a regular file,
// or when the file vanishes while being hashed. Throws FileError or CryptoError for other failures.
bool hasMatchingContent(const RemoteFile& file, const std::filesystem::path& at);

// The lower-case hexadecimal digest of a copy of `using_` (which may hold a fed prefix) fed with
// the file's bytes, read in 1 MiB chunks. Throws FileError when the file cannot be opened or read.
std::string hashFile(const std::filesystem::path& at, const platform::HashFunction& using_);

}  // namespace tesselaudio::ModelCache
