#pragma once

#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include "platform/ml/MLComputeUnits.h"
#include "platform/ml/MLModel.h"
#include "platform/ml/MLModelConfiguration.h"
#include "platform/net/HttpClient.h"
#include "platform/net/HttpResponse.h"
#include "platform/net/Url.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Shared/Download/DownloadConfig.h"
#include "speech/Shared/Download/DownloadProgress.h"
#include "speech/Shared/Download/HFTreeLister.h"
#include "speech/Shared/Repo.h"

namespace tesselaudio {

// The one road by which the library's engines get their models: download a repository's files
// into the model cache when they are missing or stale, load the compiled models, and after a failed
// load purge, download and load once more. Stateless apart from the logger and the offline switch;
// every operation may run on any thread, concurrently with others (two loads of one repository are
// not coordinated).
//
//   auto models = ModelHub::loadModels(Repo::sortformer, {"Sortformer.mlmodelc"}, modelsRoot,
//                                      platform::MLComputeUnits::cpuOnly, "Sortformer.mlmodelc",
//                                      DownloadConfig::default_(), onProgress, stop);
//   auto& sortformer = models.at("Sortformer.mlmodelc");
//
// Progress of one load goes to one handler: "listing" at 0.0, the download from 0.0 to 0.5, the
// loading from 0.5 to 1.0. Cache layout: see ModelCache.h.
namespace ModelHub {

// Loaded models by the name the caller gave.
using ModelMap = std::map<std::string, std::shared_ptr<platform::MLModel>>;

// The logger of model delivery, category "DownloadUtils" (shared with FileDownloader and
// ModelCache).
const AppLogger& logger();

// The process-wide offline switch, the same flag as HFClient::offlineMode(). While on, no
// operation here touches the network.
bool offlineMode();
void setOfflineMode(bool offline);

// Makes sure the repository's required files (the catalogue's set for `repo` and `variant`, plus
// `additionalModelNames`) are in `to`/repo.folderName(): lists the repository on the hub, adopts an
// unmarked older cache where it can, ties the folder to the revision, and fetches each missing
// file, one at a time, through "<file>.partial" with resume and retries. Files already present
// cost no request. Reports "listing" at 0.0 and the download phase up to 0.5 through
// `progressHandler`. Loads nothing.
// Throws DownloadError::networkDisabled("download(<folder>)") in offline mode before anything
// else; DownloadError::invalidResponse when a listed file would land outside the repository
// folder (before any file work); DownloadError::modelNotFound for a required name still missing
// at the end; otherwise the listing's, the downloader's or the file system's error, unchanged.
// Files already moved into place stay, and a failed file's partial data stays for a resume.
void download(Repo repo, const std::filesystem::path& to, const std::optional<std::string>& variant,
              const std::set<std::string>& additionalModelNames, const DownloadConfig& config,
              const ProgressHandler& progressHandler, std::stop_token stop);

// The same over `configuration` (the hub's shared client when null). For the library's loaders.
void download(Repo repo, const std::filesystem::path& to, const std::optional<std::string>& variant,
              const std::set<std::string>& additionalModelNames, const DownloadConfig& config,
              const ProgressHandler& progressHandler, const platform::HttpClient* configuration,
              std::stop_token stop);

// Decides whether a subdirectory download leaves out a repository path (a folder left out is not
// descended into). Called from any thread.
using ShouldSkip = std::function<bool(const std::string& path)>;

// Mirrors the folder `subdirectory` of the repository, with everything below it that `shouldSkip`
// does not reject, into `to` (repository paths laid out below `to` unchanged, so the files land in
// `to`/`subdirectory`), fetching up to config.maxConcurrentFiles files at once (at least one), in
// listing order, each through "<file>.partial" with resume and four attempts. Files already present
// cost no request; there is no check that anything in particular arrived. An unmarked older cache
// in `to`/`subdirectory` is adopted where its content matches, and the folder is tied to the
// revision (another revision empties it first).
// Reports "listing" at 0.0, "downloading" at 0.0 (1.0 for an empty folder), then non-decreasing
// fractions up to 1.0 with the files finished so far; present and empty files count with their
// listed sizes.
// Throws DownloadError::networkDisabled("download(<folder>/<subdirectory>)") in offline mode before
// anything else; DownloadError::invalidResponse when `to`/`subdirectory` or a listed file would
// lie outside `to` (before any file work); otherwise the listing's, the adoption's, the file
// system's or the first failed file's error, unchanged. A failed file stops the others (through
// their stop tokens) and waits for them; files already moved into place stay, and partial files
// stay for a resume.
void download(Repo repo, const std::string& subdirectory, const std::filesystem::path& to,
              const DownloadConfig& config, const ProgressHandler& progressHandler, const ShouldSkip& shouldSkip,
              std::stop_token stop);

// The same over `configuration` (the hub's shared client when null).
void download(Repo repo, const std::string& subdirectory, const std::filesystem::path& to,
              const DownloadConfig& config, const ProgressHandler& progressHandler, const ShouldSkip& shouldSkip,
              const platform::HttpClient* configuration, std::stop_token stop);

// Fetches one small file (a vocabulary, a configuration) into memory with the hub token, a 1800 s
// idle time-out and up to `maxAttempts` attempts, the retries logged under `description`.
// Returns the body.
// Throws DownloadError::networkDisabled("fetchFile(<description>)") in offline mode before any
// request; otherwise the last attempt's error: DownloadError::rateLimited (429, 503),
// downloadFailed (another status outside 200-299; not retried unless 5xx), invalidArtifact (an
// HTML type or body, an empty body), invalidResponse (no HTTP status), a transport error or a
// cancellation.
// REQUIRES: maxAttempts >= 1, minBackoff >= 0.
std::string fetchFile(const platform::Url& from, const std::string& description, int maxAttempts,
                      double minBackoff, std::stop_token stop = {});

// Sends one GET for `from` with the hub token and a 1800 s idle time-out on the shared client and
// returns the answer as it came, whatever its status: no check, no retry, no log line.
// Throws DownloadError::networkDisabled("fetchWithAuth(<URL>)") in offline mode before any request;
// the transport's error or a cancellation.
platform::HttpResponse fetchWithAuth(const platform::Url& from, std::stop_token stop = {});

// The hub client's one shared HTTP client (HFClient::session()).
platform::HttpClient& session();

// Deletes `directory`/repo.folderName() with everything in it. Never fails and logs nothing; a
// folder that is not there is no error. Not coordinated with a load of the same repository.
void clearCache(Repo repo, const std::filesystem::path& directory);

// Deletes the default models root ($XDG_DATA_HOME/TesselAudio/Models) and the home folder's
// ".cache/tesselaudio", then logs "All model caches cleared", whether or not anything was there.
// Never fails; a folder whose place is not an absolute path is left alone.
void clearAllCaches();

// The listing filter of the repository download. `patterns` are "<subPath>/<name>/" (or
// "<name>/"), one per required name; `sweepsRootMetadata` also takes every ".json" and ".txt"
// file of the visited folders of a repository without sub-path.
HFTreeLister::IncludeFilter repoIncludeRule(const std::optional<std::string>& subPath,
                                            std::vector<std::string> patterns, bool sweepsRootMetadata);

// Loads each compiled model of `modelNames` from `directory`/repo.folderName() with
// `computeUnits`, downloading first what the cache lacks or holds for another revision (the
// catalogue's set plus `modelNames`). When a load fails for a reason that is neither a
// cancellation, nor a transient network error, nor a cache-preserving error, deletes the named
// entries (and their partial files; the revision marker stays), downloads and loads once more;
// when that fails too, logs a size diagnosis.
// Returns the models by name (a name given twice holds the later model).
// Throws the first error when no recovery runs, otherwise the second one; DownloadError::
// modelMissing in offline mode with files missing; CancellationError (or another cancellation)
// unchanged.
// REQUIRES: every name in `modelNames` is a compiled bundle ("*.mlmodelc"); anything else fails
// the layout check.
ModelMap loadModels(Repo repo, const std::vector<std::string>& modelNames, const std::filesystem::path& directory,
                    platform::MLComputeUnits computeUnits, const std::optional<std::string>& variant = std::nullopt,
                    const DownloadConfig& config = DownloadConfig::default_(),
                    const ProgressHandler& progressHandler = {}, std::stop_token stop = {});

// One attempt of loadModels, without recovery: creates `directory`, downloads what the cache check
// asks for, checks each bundle's layout and opens it with openCompiledModel. Never compiles: a name
// that is not a compiled bundle fails the layout check. For the library's own model loaders that
// run the recovery themselves. Throws whatever the attempt's step raised.
ModelMap loadModelsOnce(Repo repo, const std::vector<std::string>& modelNames,
                        const std::filesystem::path& directory, platform::MLComputeUnits computeUnits,
                        const std::optional<std::string>& variant = std::nullopt,
                        const DownloadConfig& config = DownloadConfig::default_(),
                        const ProgressHandler& progressHandler = {}, std::stop_token stop = {});

// The one bundle-opening step of model delivery, also for engines that open bundles outside
// loadModels. Returns the loaded model, owned by the caller.
// Throws UnsupportedModelFormatError (cache-preserving) for a bundle without model.onnx or with an
// operator or element type the runtime lacks; every other failure of the runtime
// (platform::MLModelError) unchanged.
std::shared_ptr<platform::MLModel> openCompiledModel(const std::filesystem::path& contentsOf,
                                                     const platform::MLModelConfiguration& configuration);

// The non-template part of loadWithRecovery; `load` stores its result itself.
void loadWithRecovery(Repo repo, const std::filesystem::path& directory, const std::set<std::string>& requiredFiles,
                      const std::optional<std::string>& variant, const DownloadConfig& config,
                      const ProgressHandler& progressHandler, const std::function<void()>& load,
                      std::stop_token stop);

// Downloads the catalogue's set (plus `requiredFiles`) when the cache lacks any of `requiredFiles`
// or holds another revision, then runs `load` and returns its result. When `load` fails for a reason
// that is neither a cancellation, nor a transient network error, nor a cache-preserving error,
// deletes the whole repository folder, downloads again and runs `load` once more; when that fails
// too, logs a size diagnosis.
// Throws a download failure unchanged (no recovery), DownloadError::modelMissing in offline mode
// with files missing, the first error of `load` when no recovery runs, otherwise the second one.
template <class T, class Load>
T loadWithRecovery(Repo repo, const std::filesystem::path& directory, const std::set<std::string>& requiredFiles,
                   const std::optional<std::string>& variant, const DownloadConfig& config,
                   const ProgressHandler& progressHandler, Load&& load, std::stop_token stop) {
  std::optional<T> result;
  loadWithRecovery(repo, directory, requiredFiles, variant, config, progressHandler,
                   std::function<void()>([&] { result.emplace(load()); }), std::move(stop));
  return std::move(*result);
}

// After a second failed load: compares the local sizes of `requiredFiles` (bundles with all their
// files) with the sizes the hub publishes, and logs at error level whether the cache looks
// truncated or intact. Logs nothing in offline mode; one warning when the listing fails. Never
// throws (a cancellation ends it quietly).
void logLoadFailureSizeDiagnosis(Repo repo, const std::filesystem::path& directory,
                                 const std::set<std::string>& requiredFiles, std::stop_token stop = {});

}  // namespace ModelHub
}  // namespace tesselaudio
