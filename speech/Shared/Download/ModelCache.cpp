#include "speech/Shared/Download/ModelCache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <set>
#include <system_error>
#include <utility>

#include <fmt/format.h>

#include "platform/sys/FileError.h"
#include "platform/sys/FileIO.h"
#include "platform/text/Graphemes.h"
#include "platform/text/Whitespace.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Shared/Download/DownloadError.h"

namespace tesselaudio::ModelCache {
namespace {

namespace fs = std::filesystem;
using platform::FileError;

constexpr size_t kHashChunkBytes = 1 << 20;
constexpr const char* kMainRevision = "main";

const AppLogger& logger() {
  static const AppLogger instance("DownloadUtils");
  return instance;
}

// The error of `operation` on `path` from a std::filesystem error code.
FileError fileError(const std::string& operation, const fs::path& path, const std::error_code& code) {
  return FileError::fromErrno(operation, path, code.value());
}

bool itemExists(const fs::path& path) {
  std::error_code ignored;
  return fs::exists(path, ignored);
}

bool isFolder(const fs::path& path) {
  std::error_code ignored;
  return fs::is_directory(path, ignored);
}

// lstat(2) of `path`: 0, or the errno.
int lstatOf(const fs::path& path, struct stat& info) { return ::lstat(path.c_str(), &info) == 0 ? 0 : errno; }

bool isPresent(const fs::path& path) {
  struct stat info {};
  return lstatOf(path, info) == 0;
}

// `path` with "<subPath>/" taken off its front when it starts with it.
std::string localPath(const std::string& path, const std::optional<std::string>& subPath) {
  if (!subPath) return path;
  const std::string prefix = *subPath + "/";
  return path.starts_with(prefix) ? path.substr(prefix.size()) : path;
}

// True when `path` lies strictly below `root`, comparing lexically normal forms.
bool isStrictlyBelow(const fs::path& path, const fs::path& root) {
  const fs::path normalPath = path.lexically_normal();
  const fs::path normalRoot = root.lexically_normal();
  auto p = normalPath.begin();
  for (auto r = normalRoot.begin(); r != normalRoot.end(); ++r, ++p) {
    if (r->empty() && std::next(r) == normalRoot.end()) break;  // a trailing separator
    if (p == normalPath.end() || *p != *r) return false;
  }
  for (; p != normalPath.end(); ++p) {
    if (!p->empty()) return true;
  }
  return false;
}

bool isAtOrBelow(const fs::path& path, const fs::path& root) {
  return path.lexically_normal() == root.lexically_normal() || isStrictlyBelow(path, root);
}

std::optional<std::string> readMarker(const fs::path& at) {
  try {
    return platform::readFile(at / kRevisionMarkerName);
  } catch (const FileError&) {
    return std::nullopt;
  }
}

void createDirectories(const fs::path& at) {
  std::error_code code;
  fs::create_directories(at, code);
  if (code) throw fileError("create directory", at, code);
}

// Removes whatever is at `path` (a link as itself). Throws FileError, ENOENT included.
void removeItem(const fs::path& path) {
  struct stat info {};
  if (int error = lstatOf(path, info); error != 0) throw FileError::fromErrno("remove", path, error);
  std::error_code code;
  fs::remove_all(path, code);
  if (code) throw fileError("remove", path, code);
}

// A file open for reading, closed on destruction (a close error after reading changes nothing).
struct ReadDescriptor {
  explicit ReadDescriptor(const fs::path& path) : fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    if (fd < 0) throw FileError::fromErrno("open", path, errno);
  }
  ~ReadDescriptor() { ::close(fd); }
  ReadDescriptor(const ReadDescriptor&) = delete;
  ReadDescriptor& operator=(const ReadDescriptor&) = delete;

  const int fd;
};

std::string hex(const std::vector<uint8_t>& digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(digest.size() * 2);
  for (uint8_t byte : digest) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0xf]);
  }
  return text;
}

std::string lowercased(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

bool isLowerHex(const std::string& text, size_t length) {
  return text.size() == length &&
         std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

bool hasPartialItem(const fs::path& bundle) {
  std::error_code code;
  fs::recursive_directory_iterator it(bundle, fs::directory_options::skip_permission_denied, code);
  // A walk that cannot start finds nothing to object to.
  if (code) return false;
  for (; it != fs::recursive_directory_iterator(); it.increment(code)) {
    if (it->path().extension() == ".partial") return true;
  }
  return false;
}

bool isIncomplete(const fs::path& at, const std::string& name) {
  if (!name.ends_with(".mlmodelc")) return !itemExists(at / name);
  try {
    validateCompiledModelLayout(at / name, name);
  } catch (const platform::Error&) {
    return true;
  }
  return hasPartialItem(at / name);
}

// The path of `item` relative to `root` after resolving its links, or none when it cannot be
// resolved (vanished, dangling or looping) or resolves to `root` or outside it.
// REQUIRES: `root` is canonical.
std::optional<std::string> resolvedRelativePath(const fs::path& root, const fs::path& item) {
  std::error_code code;
  const fs::path resolved = fs::canonical(item, code);
  if (code || !isStrictlyBelow(resolved, root)) return std::nullopt;
  return resolved.lexically_relative(root).generic_string();
}

// The first components of `localPath` up to the first that ends in ".mlmodelc", or none.
std::optional<std::string> bundleOf(const std::string& localPath) {
  size_t start = 0;
  while (start <= localPath.size()) {
    const size_t slash = std::min(localPath.find('/', start), localPath.size());
    if (std::string_view(localPath).substr(start, slash - start).ends_with(".mlmodelc")) return localPath.substr(0, slash);
    start = slash + 1;
  }
  return std::nullopt;
}

// The listed paths made local, lexically normal, and checked to stay below `at`.
std::vector<std::string> checkedLocalPaths(const fs::path& at, const std::vector<RemoteFile>& files,
                                           const std::optional<std::string>& subPath) {
  std::vector<std::string> paths;
  paths.reserve(files.size());
  for (const RemoteFile& file : files) {
    const std::string local = localPath(file.path, subPath);
    if (local.find('\0') != std::string::npos || !isStrictlyBelow(at / local, at)) {
      logger().error("Listed path leaves the repository folder: " + file.path);
      throw DownloadError::invalidResponse();
    }
    paths.push_back(fs::path(local).lexically_normal().generic_string());
  }
  return paths;
}

// Removes `path` as adoption does: a missing item is fine, and nothing is removed through a folder
// that resolves outside `root` (the repository folder itself apart). Throws FileError.
void removeForAdoption(const fs::path& path, const fs::path& at, const fs::path& root) {
  if (path.lexically_normal() != at.lexically_normal()) {
    std::error_code code;
    const fs::path folder = fs::weakly_canonical(path.parent_path(), code);
    if (!code && !isAtOrBelow(folder, root)) {
      logger().warning("Not removing " + path.string() + ": its folder lies outside " + root.string());
      return;
    }
  }
  try {
    removeItem(path);
  } catch (const FileError& error) {
    if (!isMissingFile(error)) throw;
  }
}

}  // namespace

void prepareForDownload(const fs::path& at, const std::string& revision) {
  const auto marker = readMarker(at);
  if (!marker && revision == kMainRevision) {
    createDirectories(at);
    return;
  }
  if (marker && platform::text::isValidUtf8(*marker) && platform::text::trimWhitespaceAndNewlines(*marker) == revision) {
    createDirectories(at);
    return;
  }
  if (isPresent(at)) removeItem(at);
  createDirectories(at);
  if (revision != kMainRevision) platform::writeFileAtomically(at / kRevisionMarkerName, revision + "\n");
}

std::vector<std::string> incompleteFiles(const fs::path& at, const std::set<std::string>& requiredFiles) {
  std::vector<std::string> incomplete;
  for (const std::string& name : requiredFiles) {
    if (isIncomplete(at, name)) incomplete.push_back(name);
  }
  return incomplete;
}

bool isCacheComplete(const fs::path& at, const std::set<std::string>& requiredFiles) {
  return incompleteFiles(at, requiredFiles).empty();
}

std::vector<std::string> missingModels(const fs::path& at, const std::set<std::string>& models) {
  std::vector<std::string> missing;
  for (const std::string& name : models) {
    if (!itemExists(at / name)) missing.push_back(name);
  }
  return missing;
}

void verifyModelsPresent(const fs::path& at, const std::set<std::string>& models) {
  const auto missing = missingModels(at, models);
  if (!missing.empty()) throw DownloadError::modelNotFound(missing.front());
}

void validateCompiledModelLayout(const fs::path& at, const std::string& name) {
  if (!itemExists(at)) throw FileError::cocoa(FileError::fileNoSuchFile, at, "Model file not found: " + name);
  if (!isFolder(at)) {
    throw FileError::cocoa(FileError::fileReadCorruptFile, at, "Model path is not a directory: " + name);
  }
  const fs::path marker = at / "coremldata.bin";
  if (!itemExists(marker)) {
    logger().error("Missing coremldata.bin in " + name);
    throw FileError::cocoa(FileError::fileReadCorruptFile, marker, "Missing coremldata.bin in model: " + name);
  }
}

void purgeCorruptedFiles(const std::vector<std::string>& names, const fs::path& at) {
  for (const std::string& name : names) {
    for (const fs::path& path : {at / name, at / (name + ".partial"), at / (name + ".partial.etag")}) {
      try {
        removeItem(path);
        logger().info("Deleted corrupted cache entry at " + path.string());
      } catch (const FileError& error) {
        if (!isMissingFile(error)) logger().warning(fmt::format("Failed to delete {}: {}", path.string(), error.description()));
      }
    }
  }
}

void purgeCorruptedCache(const fs::path& at) {
  try {
    removeItem(at);
    logger().info("Successfully deleted corrupted cache at " + at.string());
  } catch (const FileError& error) {
    if (isMissingFile(error)) return;
    logger().warning("Failed to delete cache: " + error.description());
    logger().info("Will attempt to overwrite during re-download");
  }
}

void createDirectoryRobustly(const fs::path& at, const fs::path& within) {
  if (isFolder(at)) return;
  fs::path current = "/";
  for (const fs::path& component : at.lexically_normal().relative_path()) {
    if (component.empty()) continue;
    current /= component;
    struct stat info {};
    if (int error = lstatOf(current, info); error != 0) {
      if (error != ENOENT) throw FileError::fromErrno("inspect", current, error);
      createDirectories(at);
      return;
    }
    if (isFolder(current)) continue;
    // Only items inside the folder we were given are ours to replace.
    if (!isStrictlyBelow(current, within)) {
      createDirectories(at);
      return;
    }
    logger().warning("Removing file blocking directory creation: " + current.string());
    removeItem(current);
    if (::mkdir(current.c_str(), 0777) != 0) throw FileError::fromErrno("create directory", current, errno);
  }
}

std::vector<std::string> undersizedFiles(const std::vector<RemoteFile>& remote, const fs::path& at,
                                         const std::optional<std::string>& subPath) {
  std::vector<std::string> undersized;
  for (const RemoteFile& file : remote) {
    if (file.size <= 0) continue;
    const std::string local = localPath(file.path, subPath);
    int64_t localSize = 0;
    try {
      if (const auto attributes = attributesIfPresent(at / local)) localSize = attributes->size;
    } catch (const platform::Error&) {
      localSize = 0;
    }
    if (localSize < file.size) undersized.push_back(fmt::format("{} ({}/{} bytes)", local, localSize, file.size));
  }
  std::sort(undersized.begin(), undersized.end());
  return undersized;
}

bool isMissingFile(const std::exception& error) {
  if (const auto* system = dynamic_cast<const std::system_error*>(&error)) {
    return system->code() == std::errc::no_such_file_or_directory;
  }
  std::set<const platform::Error*> seen;
  for (const auto* record = dynamic_cast<const platform::Error*>(&error); record != nullptr;
       record = record->underlying()) {
    if (!seen.insert(record).second) return false;
    if (record->domain() == FileError::kCocoaDomain &&
        (record->code() == FileError::fileNoSuchFile || record->code() == FileError::fileReadNoSuchFile)) {
      return true;
    }
    if (record->domain() == FileError::kPosixDomain && record->code() == ENOENT) return true;
  }
  return false;
}

bool isMissingFile(const std::exception_ptr& error) {
  if (!error) return false;
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return isMissingFile(e);
  } catch (...) {
    return false;
  }
}

std::optional<FileAttributes> attributesIfPresent(const fs::path& at) {
  struct stat info {};
  if (int error = lstatOf(at, info); error != 0) {
    if (error == ENOENT) return std::nullopt;
    throw FileError::fromErrno("read attributes of", at, error);
  }
  FileAttributes attributes;
  if (S_ISREG(info.st_mode)) {
    attributes.type = FileAttributes::Type::regular;
  } else if (S_ISDIR(info.st_mode)) {
    attributes.type = FileAttributes::Type::directory;
  } else if (S_ISLNK(info.st_mode)) {
    attributes.type = FileAttributes::Type::symbolicLink;
  }
  attributes.size = static_cast<int64_t>(info.st_size);
  return attributes;
}


std::optional<LegacyContents> legacyCacheContents(const fs::path& at, const std::string& revision) {
  if (revision == kMainRevision || itemExists(at / kRevisionMarkerName) || !isFolder(at)) return std::nullopt;
  std::error_code code;
  const fs::path root = fs::canonical(at, code);
  if (code) throw fileError("resolve", at, code);

  LegacyContents contents;
  if (root.extension() == ".mlmodelc") contents.bundles.insert("");
  fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, code);
  if (code) return contents;
  for (; it != fs::recursive_directory_iterator(); it.increment(code)) {
    if (code) break;
    const auto relative = resolvedRelativePath(root, it->path());
    if (!relative) continue;
    if (fs::path(*relative).extension() == ".mlmodelc") {
      contents.bundles.insert(*relative);
      it.disable_recursion_pending();
      continue;
    }
    if (relative->ends_with(".partial") || relative->ends_with(".partial.etag")) continue;
    const auto attributes = attributesIfPresent(root / *relative);
    if (attributes && attributes->type == FileAttributes::Type::regular) contents.files.insert(*relative);
  }
  return contents;
}

void adoptLegacyCache(const fs::path& at, const std::string& revision, const std::vector<RemoteFile>& files,
                      const std::optional<std::string>& subPath) {
  const auto contents = legacyCacheContents(at, revision);
  if (!contents) return;
  const std::vector<std::string> localPaths = checkedLocalPaths(at, files, subPath);
  std::error_code code;
  const fs::path root = fs::canonical(at, code);
  if (code) throw fileError("resolve", at, code);
  const bool folderIsBundle = at.extension() == ".mlmodelc";

  std::set<std::string> expectedBundles;
  std::set<std::string> expectedFiles;
  std::set<std::string> rejectedBundles;
  std::vector<std::pair<fs::path, std::optional<std::string>>> matching;
  std::vector<fs::path> toDelete;
  for (size_t i = 0; i < files.size(); ++i) {
    const std::string& local = localPaths[i];
    const std::optional<std::string> bundle = folderIsBundle ? std::optional<std::string>("") : bundleOf(local);
    if (bundle) expectedBundles.insert(*bundle);
    expectedFiles.insert(local);
    const fs::path location = at / local;
    if (hasMatchingContent(files[i], location)) {
      matching.emplace_back(location, bundle);
    } else if (bundle) {
      rejectedBundles.insert(*bundle);
    } else {
      toDelete.push_back(location);
    }
  }

  std::set<std::string> staleBundles = rejectedBundles;
  for (const std::string& bundle : contents->bundles) {
    if (!expectedBundles.contains(bundle)) staleBundles.insert(bundle);
  }
  for (const std::string& file : contents->files) {
    if (!expectedFiles.contains(file)) toDelete.push_back(at / file);
  }

  std::vector<fs::path> removals;
  for (const std::string& bundle : staleBundles) removals.push_back(bundle.empty() ? at : at / bundle);
  removals.insert(removals.end(), toDelete.begin(), toDelete.end());
  for (const fs::path& location : toDelete) {
    removals.push_back(location.string() + ".partial");
    removals.push_back(location.string() + ".partial.etag");
  }
  for (const auto& [location, bundle] : matching) {
    if (bundle && staleBundles.contains(*bundle)) continue;
    removals.push_back(location.string() + ".partial");
    removals.push_back(location.string() + ".partial.etag");
  }
  for (const fs::path& path : removals) removeForAdoption(path, at, root);

  createDirectories(at);
  platform::writeFileAtomically(at / kRevisionMarkerName, revision + "\n");
}

bool hasMatchingContent(const RemoteFile& file, const fs::path& at) {
  if (!file.contentID) return false;
  const auto attributes = attributesIfPresent(at);
  if (!attributes || attributes->type != FileAttributes::Type::regular) return false;
  if (file.size >= 0 && attributes->size != file.size) return false;

  const bool isBlob = file.contentID->kind == RemoteFile::ContentID::Kind::gitBlobSHA1;
  const std::string expected = lowercased(file.contentID->text);
  if (!isLowerHex(expected, isBlob ? 40 : 64)) return false;

  std::string digest;
  try {
    if (isBlob) {
      auto state = platform::HashFunction::sha1();
      const std::string header = fmt::format("blob {}", attributes->size);
      state.update(header.data(), header.size() + 1);  // with its terminating zero byte
      digest = hashFile(at, state);
    } else {
      digest = hashFile(at, platform::HashFunction::sha256());
    }
  } catch (const std::exception& error) {
    if (isMissingFile(error)) return false;
    throw;
  }
  return digest == expected;
}

std::string hashFile(const fs::path& at, const platform::HashFunction& using_) {
  platform::HashFunction state = using_;
  const ReadDescriptor file(at);
  std::vector<char> chunk(kHashChunkBytes);
  while (true) {
    const ssize_t n = ::read(file.fd, chunk.data(), chunk.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw FileError::fromErrno("read", at, errno);
    }
    if (n == 0) break;
    state.update(chunk.data(), static_cast<size_t>(n));
  }
  return hex(state.finalize());
}

}  // namespace tesselaudio::ModelCache
