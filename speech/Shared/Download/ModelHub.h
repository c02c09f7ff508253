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
// Throws UnsupportedModelFormatError (cache-preserving) for a bundle without model.onnx; every
// other failure of the runtime (platform::MLModelError) unchanged.
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
