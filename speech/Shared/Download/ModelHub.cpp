#include "speech/Shared/Download/ModelHub.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <system_error>

#include <fmt/format.h>

#include "platform/ml/MLModelError.h"
#include "platform/net/PercentEncoding.h"
#include "platform/sys/FileError.h"
#include "platform/sys/FileIO.h"
#include "platform/sys/TaskGroup.h"
#include "platform/text/Graphemes.h"
#include "platform/text/Whitespace.h"
#include "speech/Shared/Download/ConcurrentProgress.h"
#include "speech/Shared/Download/DownloadError.h"
#include "speech/Shared/Download/FileDownloader.h"
#include "speech/Shared/Download/HFClient.h"
#include "speech/Shared/Download/ModelCache.h"
#include "speech/Shared/Download/ModelCachePreservingError.h"
#include "speech/Shared/Download/ModelRegistry.h"
#include "speech/Shared/Download/ProgressReporter.h"
#include "speech/Shared/Download/RetryPolicy.h"
#include "speech/Shared/Download/UnsupportedModelFormatError.h"
#include "speech/Shared/ModelNames.h"
#include "speech/Shared/SystemInfo.h"
#include "speech/Shared/SystemInfoReporter.h"

namespace tesselaudio::ModelHub {

namespace fs = std::filesystem;

namespace {

constexpr int kFileAttempts = 4;
constexpr double kFileMinBackoff = 1.0;
constexpr double kDownloadPhaseWeight = 0.5;

std::string describe(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string lastComponent(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// ["a", "b"]
std::string arrayLiteral(const std::vector<std::string>& names) {
  std::string text = "[";
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += ", ";
    text += "\"" + names[i] + "\"";
  }
  return text + "]";
}

std::string joined(const std::vector<std::string>& names, const char* separator) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += separator;
    text += names[i];
  }
  return text;
}

void report(const ProgressHandler& handler, double fraction, DownloadPhase phase) {
  if (handler) handler(DownloadProgress{fraction, std::move(phase)});
}

void logHostLine() { SystemInfoReporter::shared().logIfNeeded(logger()); }

// --- repository download -------------------------------------------------------------------

// The place of a listed file in the repository folder: its path less "<subPath>/".
std::string localPath(const std::string& path, const std::optional<std::string>& subPath) {
  if (subPath && startsWith(path, *subPath + "/")) return path.substr(subPath->size() + 1);
  return path;
}

bool isBundlePath(const std::string& path) {
  return endsWith(path, ".mlmodelc") || endsWith(path, ".mlpackage") ||
         path.find(".mlmodelc/") != std::string::npos || path.find(".mlpackage/") != std::string::npos;
}

bool isCompiledOrPackage(const std::string& name) {
  return endsWith(name, ".mlmodelc") || endsWith(name, ".mlpackage");
}

// A hostile listing must never make us write outside the repository folder, whatever the lister
// let through.
void checkDestinations(const std::vector<RemoteFile>& files, const fs::path& repoFolder,
                       const std::optional<std::string>& subPath) {
  const fs::path root = repoFolder.lexically_normal();
  for (const RemoteFile& file : files) {
    const std::string relative = localPath(file.path, subPath);
    if (relative.empty() || relative.front() == '/' || relative.find('\0') != std::string::npos) {
      throw DownloadError::invalidResponse();
    }
    const fs::path destination = (repoFolder / relative).lexically_normal();
    const fs::path inside = destination.lexically_relative(root);
    if (inside.empty() || *inside.begin() == ".." || *inside.begin() == ".") {
      throw DownloadError::invalidResponse();
    }
  }
}

bool existsAt(const fs::path& path) {
  std::error_code error;
  return fs::symlink_status(path, error).type() != fs::file_type::not_found && !error;
}

// Files of the repository root whose names a sub-path repository still misses (required plain
// files that live beside the sub-path's folder).
std::vector<RemoteFile> rootFiles(const Repo& repo, const std::string& revision, const std::set<std::string>& required,
                                  const std::vector<RemoteFile>& listed, const HFTreeLister::PageFetcher& fetch) {
  std::set<std::string> listedNames;
  for (const RemoteFile& file : listed) listedNames.insert(lastComponent(file.path));
  std::set<std::string> missing;
  for (const std::string& name : required) {
    if (isCompiledOrPackage(name)) continue;
    if (!listedNames.contains(lastComponent(name))) missing.insert(name);
  }
  if (missing.empty()) return {};
  return HFTreeLister::listTree(
      repo.remotePath(), revision, "",
      [&missing](const std::string& path, bool isDirectory) {
        return !isDirectory && missing.contains(lastComponent(path));
      },
      fetch);
}

// What to list so that an unmarked older cache keeps the files it already holds.
std::vector<RemoteFile> filesForLegacyAdoption(const ModelCache::LegacyContents& legacy, const Repo& repo,
                                               const std::string& revision, const std::optional<std::string>& subPath,
                                               bool includeRepoRootFiles, const HFTreeLister::PageFetcher& fetch) {
  const auto inLegacy = [&legacy, &subPath](const std::string& path, bool isDirectory) {
    const std::string q = localPath(path, subPath);
    for (const std::string& bundle : legacy.bundles) {
      if (bundle.empty() || bundle == q || startsWith(q, bundle + "/")) return true;
    }
    if (legacy.files.contains(q)) return true;
    if (isDirectory) {
      for (const std::string& bundle : legacy.bundles) {
        if (startsWith(bundle, q + "/")) return true;
      }
      for (const std::string& file : legacy.files) {
        if (startsWith(file, q + "/")) return true;
      }
    }
    return false;
  };
  std::vector<RemoteFile> files = HFTreeLister::listTree(repo.remotePath(), revision, subPath.value_or(""), inLegacy, fetch);
  if (!includeRepoRootFiles || !subPath) return files;

  std::set<std::string> listedLocal;
  for (const RemoteFile& file : files) listedLocal.insert(localPath(file.path, subPath));
  std::set<std::string> rootNames;
  for (const std::string& file : legacy.files) {
    if (file.find('/') == std::string::npos && !listedLocal.contains(file)) rootNames.insert(file);
  }
  if (rootNames.empty()) return files;
  auto root = HFTreeLister::listTree(
      repo.remotePath(), revision, "",
      [&rootNames](const std::string& path, bool isDirectory) { return !isDirectory && rootNames.contains(path); },
      fetch);
  files.insert(files.end(), root.begin(), root.end());
  return files;
}

void moveIntoPlace(const fs::path& downloaded, const fs::path& destination) {
  if (existsAt(destination)) {
    std::error_code ignored;
    fs::remove_all(destination, ignored);
  }
  if (std::rename(downloaded.c_str(), destination.c_str()) != 0) {
    throw platform::FileError::fromErrno("move", destination, errno);
  }
}

// Steps one file through presence, folder, empty file or transfer, and the move. Returns whether
// it was transferred.
bool fetchFile(const Repo& repo, const std::string& revision, const RemoteFile& file, const fs::path& repoFolder,
               const std::optional<std::string>& subPath, const DownloadConfig& config,
               const ByteProgressCallback& onProgress, const platform::HttpClient* client, std::stop_token stop) {
  const fs::path destination = repoFolder / localPath(file.path, subPath);
  if (existsAt(destination)) return false;
  ModelCache::createDirectoryRobustly(destination.parent_path(), repoFolder);
  if (file.size == 0) {
    std::ofstream{destination, std::ios::binary};
    return false;
  }
  const platform::Url url =
      ModelRegistry::resolveModel(repo.remotePath(), platform::percentEncodePath(file.path), revision);
  const platform::HttpRequest request = HFClient::authorizedRequest(url, config.timeout);
  fs::path partial = destination;
  partial += ".partial";
  const fs::path downloaded = FileDownloader::download(request, file.path, file.size, partial, onProgress,
                                                       kFileAttempts, kFileMinBackoff, config, client, stop);
  moveIntoPlace(downloaded, destination);
  return true;
}

// --- subdirectory download ----------------------------------------------------------------

// "/a/b/" and "/a/b" name the same folder; the lexical containment checks need the latter.
fs::path folderPath(const fs::path& folder) {
  fs::path normal = folder.lexically_normal();
  if (!normal.has_filename() && normal.has_relative_path()) normal = normal.parent_path();
  return normal;
}

// The folder a subdirectory download ties to the revision (and may empty) must itself lie in `to`.
fs::path localFolderOf(const fs::path& base, const std::string& subdirectory) {
  if (subdirectory.empty()) return base;
  if (subdirectory.front() == '/' || subdirectory.find('\0') != std::string::npos) {
    throw DownloadError::invalidResponse();
  }
  const fs::path folder = folderPath(base / subdirectory);
  const fs::path inside = folder.lexically_relative(base);
  if (inside.empty() || *inside.begin() == "..") throw DownloadError::invalidResponse();
  return folder;
}

// What the file tasks of one subdirectory download share; they only read it (the progress has
// its own lock).
struct SubdirectoryJob {
  std::string remotePath;
  std::string revision;
  std::string subdirectory;
  fs::path base;
  DownloadConfig config;
  const platform::HttpClient* client = nullptr;
  std::vector<RemoteFile> files;
};

void fetchSubdirectoryFile(const SubdirectoryJob& job, ConcurrentProgress& progress, std::size_t index,
                           std::stop_token stop) {
  const RemoteFile& file = job.files[index];
  const auto i = static_cast<std::int64_t>(index);
  const fs::path destination = job.base / file.path;
  if (existsAt(destination)) {
    progress.fileCompleted(i, file.size);
    return;
  }
  if (std::error_code error; !fs::create_directories(destination.parent_path(), error) && error) {
    throw platform::FileError::fromErrno("create directory", destination.parent_path(), error.value());
  }
  if (file.size == 0) {
    platform::createEmptyFile(destination);
  } else {
    const platform::Url url =
        ModelRegistry::resolveModel(job.remotePath, platform::percentEncodePath(file.path), job.revision);
    const platform::HttpRequest request = HFClient::authorizedRequest(url, job.config.timeout);
    fs::path partial = destination;
    partial += ".partial";
    const ByteProgressCallback onProgress = file.size > 0 ? progress.liveBytesCallback(i) : ByteProgressCallback{};
    const fs::path downloaded = FileDownloader::download(request, file.path, file.size, partial, onProgress,
                                                         kFileAttempts, kFileMinBackoff, job.config, job.client, stop);
    moveIntoPlace(downloaded, destination);
  }
  const std::int64_t completed = progress.fileCompleted(i, file.size);
  const auto count = static_cast<std::int64_t>(job.files.size());
  if (completed % 5 == 0 || completed == count) {
    logger().info(fmt::format("Downloaded {}/{} {} files", completed, count, job.subdirectory));
  }
}

// A sliding window over the files in list order: each file that finishes starts the next one; the
// first failure stops the others, waits for them and is passed on.
void fetchSubdirectoryFiles(const SubdirectoryJob& job, ConcurrentProgress& progress, std::stop_token stop) {
  const std::size_t count = job.files.size();
  const std::int64_t widest = std::max<std::int64_t>(1, job.config.maxConcurrentFiles);
  const std::size_t window = std::min(count, static_cast<std::size_t>(widest));
  platform::TaskGroup group(std::move(stop));
  std::size_t nextIndex = 0;
  const auto addNextTask = [&] {
    if (nextIndex >= count) return;
    const std::size_t index = nextIndex++;
    group.add([&job, &progress, index](std::stop_token token) {
      fetchSubdirectoryFile(job, progress, index, std::move(token));
    });
  };
  for (std::size_t i = 0; i < window; ++i) addNextTask();
  while (group.next()) addNextTask();
}

// --- loading -------------------------------------------------------------------------------

struct RepoPlace {
  fs::path folder;
  std::string revision;
  std::set<std::string> catalogue;
};

RepoPlace placeOf(const Repo& repo, const fs::path& directory, const std::optional<std::string>& variant) {
  return RepoPlace{directory / repo.folderName(), ModelRegistry::mapRevision(repo.remotePath(), repo.revision()),
                   ModelNames::getRequiredModelNames(repo, variant)};
}

std::set<std::string> without(const std::set<std::string>& names, const std::set<std::string>& removed) {
  std::set<std::string> rest;
  std::set_difference(names.begin(), names.end(), removed.begin(), removed.end(), std::inserter(rest, rest.end()));
  return rest;
}

// The check-set names to download, sorted: the incomplete ones when the marker matches (or, under
// "main", is absent), all of them otherwise.
std::vector<std::string> namesToDownload(const RepoPlace& place, const std::set<std::string>& checkSet) {
  bool markerMatches = false;
  std::optional<std::string> marker;
  try {
    marker = platform::readFile(place.folder / ModelCache::kRevisionMarkerName);
  } catch (const platform::Error&) {
    marker.reset();
  }
  if (!marker) {
    markerMatches = place.revision == "main";
  } else if (platform::text::isValidUtf8(*marker)) {
    markerMatches = platform::text::trimWhitespaceAndNewlines(*marker) == place.revision;
  }
  if (!markerMatches) return {checkSet.begin(), checkSet.end()};
  return ModelCache::incompleteFiles(place.folder, checkSet);
}

// Downloads what the cache check asks for. Returns whether anything was missing.
bool fetchMissing(const Repo& repo, const RepoPlace& place, const fs::path& directory,
                  const std::optional<std::string>& variant, const std::set<std::string>& checkSet,
                  const std::set<std::string>& extraNames, const DownloadConfig& config,
                  const ProgressHandler& progressHandler, std::stop_token stop) {
  const std::vector<std::string> missing = namesToDownload(place, checkSet);
  if (missing.empty()) {
    logger().info(fmt::format("Found {} locally, no download needed", repo.folderName()));
    return false;
  }
  if (offlineMode()) {
    logger().error(fmt::format("Offline mode: required models missing or incomplete at {}: {}",
                               place.folder.string(), arrayLiteral(missing)));
    throw DownloadError::modelMissing(repo.folderName(), missing);
  }
  logger().info(fmt::format("Models missing or incomplete in cache at {}: {}", place.folder.string(),
                            arrayLiteral(missing)));
  download(repo, directory, variant, extraNames, config, progressHandler, nullptr, std::move(stop));
  return true;
}

enum class Recovery { passOn, purge };

// The recovery table: which failures keep the cache and are passed on, logged with their reason.
Recovery decideRecovery(const std::exception_ptr& error) {
  const std::string description = describe(error);
  if (offlineMode()) {
    logger().warning("Offline mode: load failed and re-download blocked. " + description);
    return Recovery::passOn;
  }
  if (RetryPolicy::isCancellation(error)) {
    logger().info("Load cancelled; preserving model cache. " + description);
    return Recovery::passOn;
  }
  if (RetryPolicy::isRetryable(error)) {
    logger().warning("Load failed with transient network error; preserving model cache for resume. " + description);
    return Recovery::passOn;
  }
  try {
    std::rethrow_exception(error);
  } catch (const ModelCachePreservingError& preserving) {
    if (preserving.preservesModelCache()) {
      logger().warning("Load failed for a reason outside the model cache; preserving it. " + description);
      return Recovery::passOn;
    }
  } catch (...) {
  }
  logger().warning("First load failed: " + description);
  return Recovery::purge;
}

}  // namespace

const AppLogger& logger() { return FileDownloader::logger(); }

bool offlineMode() { return HFClient::offlineMode(); }

void setOfflineMode(bool offline) { HFClient::setOfflineMode(offline); }

HFTreeLister::IncludeFilter repoIncludeRule(const std::optional<std::string>& subPath,
                                            std::vector<std::string> patterns, bool sweepsRootMetadata) {
  return [subPath, patterns = std::move(patterns), sweepsRootMetadata](const std::string& path, bool isDirectory) {
    const bool none = patterns.empty();
    const auto matches = [&] {
      return std::any_of(patterns.begin(), patterns.end(), [&](const std::string& p) { return startsWith(path, p); });
    };
    const auto leadsTo = [&] {
      return std::any_of(patterns.begin(), patterns.end(),
                         [&](const std::string& p) { return startsWith(p, path + "/"); });
    };
    if (!subPath) {
      if (isDirectory) return none || matches() || leadsTo();
      if (none || matches() || std::any_of(patterns.begin(), patterns.end(),
                                           [&](const std::string& p) { return path + "/" == p; })) {
        return true;
      }
      return sweepsRootMetadata && (endsWith(path, ".json") || endsWith(path, ".txt"));
    }
    const std::string& s = *subPath;
    if (isDirectory) {
      if (isBundlePath(path) && !none) {
        return std::any_of(patterns.begin(), patterns.end(),
                           [&](const std::string& p) { return startsWith(path + "/", p); }) ||
               leadsTo();
      }
      return path == s || startsWith(path, s + "/") || (!none && (matches() || leadsTo()));
    }
    if (!startsWith(path, s + "/")) return false;
    if (isBundlePath(path)) return none || matches();
    return none || matches() || endsWith(path, ".json") || endsWith(path, ".model") || endsWith(path, ".bin");
  };
}

void download(Repo repo, const fs::path& to, const std::optional<std::string>& variant,
              const std::set<std::string>& additionalModelNames, const DownloadConfig& config,
              const ProgressHandler& progressHandler, std::stop_token stop) {
  download(repo, to, variant, additionalModelNames, config, progressHandler, nullptr, std::move(stop));
}

void download(Repo repo, const fs::path& to, const std::optional<std::string>& variant,
              const std::set<std::string>& additionalModelNames, const DownloadConfig& config,
              const ProgressHandler& progressHandler, const platform::HttpClient* configuration,
              std::stop_token stop) {
  const std::string folderName = repo.folderName();
  if (offlineMode()) throw DownloadError::networkDisabled("download(" + folderName + ")");
  logger().info(fmt::format("Downloading {} from HuggingFace...", folderName));

  const platform::HttpClient& session = configuration != nullptr ? *configuration : HFClient::session();
  const fs::path repoFolder = to / folderName;
  const std::string revision = ModelRegistry::mapRevision(repo.remotePath(), repo.revision());
  std::set<std::string> required = ModelNames::getRequiredModelNames(repo, variant);
  required.insert(additionalModelNames.begin(), additionalModelNames.end());
  const std::optional<std::string> subPath = repo.subPath();
  std::vector<std::string> patterns;
  for (const std::string& name : required) patterns.push_back(subPath ? *subPath + "/" + name + "/" : name + "/");
  const bool sweepsRootMetadata = repo != Repo::kokoro;

  report(progressHandler, 0.0, DownloadPhase::listing());
  const HFTreeLister::PageFetcher fetch = HFTreeLister::fetch(session, stop);
  std::vector<RemoteFile> files = HFTreeLister::listTree(repo.remotePath(), revision, subPath.value_or(""),
                                                         repoIncludeRule(subPath, patterns, sweepsRootMetadata), fetch);
  if (subPath) {
    auto root = rootFiles(repo, revision, required, files, fetch);
    files.insert(files.end(), root.begin(), root.end());
  }
  checkDestinations(files, repoFolder, subPath);

  std::set<std::string> wanted;
  for (const RemoteFile& file : files) wanted.insert(file.path);
  if (const auto legacy = ModelCache::legacyCacheContents(repoFolder, revision)) {
    std::vector<RemoteFile> merged = files;
    std::set<std::string> seen = wanted;
    for (RemoteFile& file : filesForLegacyAdoption(*legacy, repo, revision, subPath, true, fetch)) {
      if (seen.insert(file.path).second) merged.push_back(std::move(file));
    }
    ModelCache::adoptLegacyCache(repoFolder, revision, merged, subPath);
  } else {
    ModelCache::adoptLegacyCache(repoFolder, revision, files, subPath);
  }
  ModelCache::prepareForDownload(repoFolder, revision);
  std::erase_if(files, [&wanted](const RemoteFile& file) { return !wanted.contains(file.path); });

  const auto count = static_cast<std::int64_t>(files.size());
  logger().info(fmt::format("Found {} files to download", count));
  std::int64_t totalBytes = 0;
  for (const RemoteFile& file : files) totalBytes += std::max<std::int64_t>(file.size, 0);
  std::int64_t bytesDone = 0;
  const ProgressReporter reporter{progressHandler, kDownloadPhaseWeight};

  for (std::int64_t i = 0; i < count; ++i) {
    const RemoteFile& file = files[static_cast<std::size_t>(i)];
    const ByteProgressCallback onProgress =
        progressHandler ? reporter.liveBytesCallback(bytesDone, totalBytes, i, count) : ByteProgressCallback{};
    const bool transferred = fetchFile(repo, revision, file, repoFolder, subPath, config, onProgress, configuration, stop);
    bytesDone += std::max<std::int64_t>(file.size, 0);
    if (!transferred) continue;
    if ((i + 1) % 10 == 0 || i == count - 1) logger().info(fmt::format("Downloaded {}/{} files", i + 1, count));
    const double done = totalBytes >= 1 ? static_cast<double>(bytesDone) / static_cast<double>(totalBytes)
                                        : static_cast<double>(i + 1) / static_cast<double>(count);
    report(progressHandler, kDownloadPhaseWeight * std::min(done, 1.0), DownloadPhase::downloading(i + 1, count));
  }

  ModelCache::verifyModelsPresent(repoFolder, required);
  logger().info(fmt::format("Downloaded all required models for {}", folderName));
}

void download(Repo repo, const std::string& subdirectory, const fs::path& to, const DownloadConfig& config,
              const ProgressHandler& progressHandler, const ShouldSkip& shouldSkip, std::stop_token stop) {
  download(repo, subdirectory, to, config, progressHandler, shouldSkip, nullptr, std::move(stop));
}

void download(Repo repo, const std::string& subdirectory, const fs::path& to, const DownloadConfig& config,
              const ProgressHandler& progressHandler, const ShouldSkip& shouldSkip,
              const platform::HttpClient* configuration, std::stop_token stop) {
  const std::string folderName = repo.folderName();
  if (offlineMode()) throw DownloadError::networkDisabled("download(" + folderName + "/" + subdirectory + ")");
  const platform::HttpClient& session = configuration != nullptr ? *configuration : HFClient::session();
  report(progressHandler, 0.0, DownloadPhase::listing());

  SubdirectoryJob job{repo.remotePath(), ModelRegistry::mapRevision(repo.remotePath(), repo.revision()), subdirectory,
                      folderPath(to), config, configuration, {}};
  const fs::path localFolder = localFolderOf(job.base, subdirectory);
  const HFTreeLister::PageFetcher fetch = HFTreeLister::fetch(session, stop);
  job.files = HFTreeLister::listTree(
      job.remotePath, job.revision, subdirectory,
      [&shouldSkip](const std::string& path, bool) { return !(shouldSkip && shouldSkip(path)); }, fetch);
  checkDestinations(job.files, job.base, std::nullopt);

  std::set<std::string> wanted;
  for (const RemoteFile& file : job.files) wanted.insert(file.path);
  const std::optional<std::string> subPath =
      subdirectory.empty() ? std::nullopt : std::optional<std::string>(subdirectory);
  if (const auto legacy = ModelCache::legacyCacheContents(localFolder, job.revision)) {
    std::vector<RemoteFile> merged = job.files;
    std::set<std::string> seen = wanted;
    for (RemoteFile& file : filesForLegacyAdoption(*legacy, repo, job.revision, subPath, false, fetch)) {
      if (seen.insert(file.path).second) merged.push_back(std::move(file));
    }
    ModelCache::adoptLegacyCache(localFolder, job.revision, merged, subPath);
  } else {
    ModelCache::adoptLegacyCache(localFolder, job.revision, job.files, subPath);
  }
  ModelCache::prepareForDownload(localFolder, job.revision);
  std::erase_if(job.files, [&wanted](const RemoteFile& file) { return !wanted.contains(file.path); });

  const auto count = static_cast<std::int64_t>(job.files.size());
  logger().info(fmt::format("Found {} files in {}", count, subdirectory));
  std::int64_t totalBytes = 0;
  for (const RemoteFile& file : job.files) totalBytes += std::max<std::int64_t>(file.size, 0);
  report(progressHandler, count == 0 ? 1.0 : 0.0, DownloadPhase::downloading(0, count));
  ConcurrentProgress progress(ProgressReporter{progressHandler, 1.0}, totalBytes, count);
  fetchSubdirectoryFiles(job, progress, std::move(stop));
  logger().info(fmt::format("Downloaded {} from {}", subdirectory, folderName));
}

std::shared_ptr<platform::MLModel> openCompiledModel(const fs::path& contentsOf,
                                                     const platform::MLModelConfiguration& configuration) {
  try {
    return std::make_shared<platform::MLModel>(contentsOf, configuration);
  } catch (const platform::MLModelError& error) {
    // Files this build cannot run come back the same from the hub: keep them rather than download again.
    using Code = platform::MLModelError::Code;
    const Code code = error.errorCode();
    if (code != Code::unsupportedModelFormat && code != Code::unsupportedOperator &&
        code != Code::unsupportedElementType) {
      throw;
    }
    throw UnsupportedModelFormatError(contentsOf, std::current_exception());
  }
}

ModelMap loadModelsOnce(Repo repo, const std::vector<std::string>& modelNames, const fs::path& directory,
                        platform::MLComputeUnits computeUnits, const std::optional<std::string>& variant,
                        const DownloadConfig& config, const ProgressHandler& progressHandler, std::stop_token stop) {
  logHostLine();
  if (std::error_code error; !fs::create_directories(directory, error) && error) {
    throw platform::FileError::fromErrno("create directory", directory, error.value());
  }
  const RepoPlace place = placeOf(repo, directory, variant);
  const std::set<std::string> names(modelNames.begin(), modelNames.end());
  std::set<std::string> checkSet = place.catalogue;
  checkSet.insert(names.begin(), names.end());
  if (!fetchMissing(repo, place, directory, variant, checkSet, without(names, place.catalogue), config,
                    progressHandler, stop)) {
    report(progressHandler, 0.5, DownloadPhase::downloading(0, 0));
  }

  platform::MLModelConfiguration configuration;
  configuration.computeUnits = computeUnits;
  configuration.allowLowPrecisionAccumulationOnGPU = true;
  ModelMap models;
  std::optional<std::string> hostSummary;  // read once per attempt: it reads several /proc files
  const double n = static_cast<double>(modelNames.size());
  for (std::size_t i = 0; i < modelNames.size(); ++i) {
    const std::string& name = modelNames[i];
    const fs::path path = place.folder / name;
    ModelCache::validateCompiledModelLayout(path, name);
    report(progressHandler, 0.5 + static_cast<double>(i) * 0.5 / n, DownloadPhase::compiling(name));
    const auto start = std::chrono::steady_clock::now();
    auto model = openCompiledModel(path, configuration);
    const std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - start;
    models[name] = std::move(model);
    if (!hostSummary) hostSummary = SystemInfo::summary();
    logger().info(fmt::format("Compiled model {} in {:.2f} ms :: {}", name, elapsed.count(), *hostSummary));
  }
  report(progressHandler, 1.0, DownloadPhase::compiling(""));
  return models;
}

ModelMap loadModels(Repo repo, const std::vector<std::string>& modelNames, const fs::path& directory,
                    platform::MLComputeUnits computeUnits, const std::optional<std::string>& variant,
                    const DownloadConfig& config, const ProgressHandler& progressHandler, std::stop_token stop) {
  logHostLine();
  std::exception_ptr first;
  try {
    return loadModelsOnce(repo, modelNames, directory, computeUnits, variant, config, progressHandler, stop);
  } catch (...) {
    first = std::current_exception();
  }
  if (decideRecovery(first) == Recovery::passOn) std::rethrow_exception(first);

  const RepoPlace place = placeOf(repo, directory, variant);
  logger().info("Deleting " + joined(modelNames, ", ") + " and re-downloading\u2026");
  ModelCache::purgeCorruptedFiles(modelNames, place.folder);
  try {
    return loadModelsOnce(repo, modelNames, directory, computeUnits, variant, config, progressHandler, stop);
  } catch (...) {
    const std::exception_ptr second = std::current_exception();
    if (RetryPolicy::isCancellation(second)) throw;
    std::set<std::string> checked = place.catalogue;
    checked.insert(modelNames.begin(), modelNames.end());
    logLoadFailureSizeDiagnosis(repo, directory, checked, stop);
    throw;
  }
}

void loadWithRecovery(Repo repo, const fs::path& directory, const std::set<std::string>& requiredFiles,
                      const std::optional<std::string>& variant, const DownloadConfig& config,
                      const ProgressHandler& progressHandler, const std::function<void()>& load,
                      std::stop_token stop) {
  logHostLine();
  const RepoPlace place = placeOf(repo, directory, variant);
  const std::set<std::string> extraNames = without(requiredFiles, place.catalogue);
  fetchMissing(repo, place, directory, variant, requiredFiles, extraNames, config, progressHandler, stop);
  std::exception_ptr first;
  try {
    load();
    return;
  } catch (...) {
    first = std::current_exception();
  }
  if (decideRecovery(first) == Recovery::passOn) std::rethrow_exception(first);

  logger().info("Deleting cache and re-downloading\u2026");
  ModelCache::purgeCorruptedCache(place.folder);
  fetchMissing(repo, place, directory, variant, requiredFiles, extraNames, config, progressHandler, stop);
  try {
    load();
  } catch (...) {
    if (RetryPolicy::isCancellation(std::current_exception())) throw;
    logLoadFailureSizeDiagnosis(repo, directory, requiredFiles, stop);
    throw;
  }
}

void logLoadFailureSizeDiagnosis(Repo repo, const fs::path& directory, const std::set<std::string>& requiredFiles,
                                 std::stop_token stop) {
  if (offlineMode()) return;
  const fs::path repoFolder = directory / repo.folderName();
  const std::string revision = ModelRegistry::mapRevision(repo.remotePath(), repo.revision());
  const std::optional<std::string> subPath = repo.subPath();
  std::vector<std::string> wanted;
  for (const std::string& name : requiredFiles) wanted.push_back(subPath ? *subPath + "/" + name : name);
  const auto include = [&wanted](const std::string& path, bool isDirectory) {
    return std::any_of(wanted.begin(), wanted.end(), [&](const std::string& p) {
      return path == p || startsWith(path, p + "/") || (isDirectory && startsWith(p, path + "/"));
    });
  };

  std::vector<RemoteFile> published;
  try {
    published = HFTreeLister::listTree(repo.remotePath(), revision, subPath.value_or(""), include,
                                       HFTreeLister::fetch(HFClient::session(), stop));
  } catch (...) {
    const std::exception_ptr error = std::current_exception();
    if (RetryPolicy::isCancellation(error)) return;
    logger().warning("Load-failure size diagnosis unavailable: " + describe(error));
    return;
  }
  const std::vector<std::string> undersized = ModelCache::undersizedFiles(published, repoFolder, subPath);
  if (!undersized.empty()) {
    logger().error(fmt::format(
        "Load still failing and {} {} file(s) are smaller than their published HuggingFace size \u2014 the cache "
        "is truncated; clear it (ModelHub.clearCache) and re-download: {}",
        undersized.size(), repo.folderName(), joined(undersized, ", ")));
    return;
  }
  logger().error(fmt::format(
      "Load still failing but all {} required {} files match their published HuggingFace sizes \u2014 the download "
      "is intact and re-downloading cannot fix this. The model likely cannot run on this hardware/OS; try a "
      "different precision or variant.",
      published.size(), repo.folderName()));
}

}  // namespace tesselaudio::ModelHub
