#include "speech/Shared/Download/ModelRegistry.h"

#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "platform/sys/Environment.h"
#include "speech/Shared/AppLogger.h"

namespace tesselaudio::ModelRegistry {

namespace {

struct Registry {
  std::mutex mutex;
  std::optional<std::string> assignedBaseURL;          // guarded by mutex
  std::map<std::string, std::string> repoOverrides;      // guarded by mutex
  std::map<std::string, std::string> revisionOverrides;  // guarded by mutex
};

Registry& registry() {
  static Registry instance;
  return instance;
}

const AppLogger& logger() {
  static const AppLogger instance("ModelRegistry");
  return instance;
}

struct Match {
  std::string key;
  std::string value;
};

// The longest key equal to `path` or followed in it by "/".
std::optional<Match> findOverride(const std::map<std::string, std::string>& overrides,
                                  const std::string& path) {
  std::vector<const std::pair<const std::string, std::string>*> entries;
  for (const auto& entry : overrides) entries.push_back(&entry);
  std::stable_sort(entries.begin(), entries.end(),
                   [](auto* a, auto* b) { return a->first.size() > b->first.size(); });
  for (const auto* entry : entries) {
    const std::string& key = entry->first;
    const bool equal = path == key;
    const bool prefix = path.size() > key.size() && path.compare(0, key.size(), key) == 0 &&
                        path[key.size()] == '/';
    if (equal || prefix) return Match{key, entry->second};
  }
  return std::nullopt;
}

platform::Url parsed(std::string text) {
  auto url = platform::Url::parse(text);
  if (!url) throw Error::invalidURL(std::move(text));
  return *url;
}

}  // namespace

Error::Error(std::string text)
    : platform::Error("ModelRegistry.Error", "TesselAudio.ModelRegistry.Error", 0,
                      "Invalid URL construction: " + text),
      text_(std::move(text)) {}

Error Error::invalidURL(std::string text) { return Error(std::move(text)); }

std::string baseURL() {
  {
    Registry& r = registry();
    std::scoped_lock lock(r.mutex);
    if (r.assignedBaseURL) return *r.assignedBaseURL;
  }
  if (auto url = platform::Environment::value("REGISTRY_URL")) return *url;
  if (auto url = platform::Environment::value("MODEL_REGISTRY_URL")) return *url;
  return kDefaultBaseURL;
}

void setBaseURL(std::string url) {
  Registry& r = registry();
  std::scoped_lock lock(r.mutex);
  r.assignedBaseURL = std::move(url);
}

std::map<std::string, std::string> repoOverrides() {
  Registry& r = registry();
  std::scoped_lock lock(r.mutex);
  return r.repoOverrides;
}

void setRepoOverrides(std::map<std::string, std::string> overrides) {
  Registry& r = registry();
  std::scoped_lock lock(r.mutex);
  r.repoOverrides = std::move(overrides);
}

std::map<std::string, std::string> revisionOverrides() {
  Registry& r = registry();
  std::scoped_lock lock(r.mutex);
  return r.revisionOverrides;
}

void setRevisionOverrides(std::map<std::string, std::string> overrides) {
  Registry& r = registry();
  std::scoped_lock lock(r.mutex);
  r.revisionOverrides = std::move(overrides);
}

std::string mapRepoPath(const std::string& repo) {
  const auto match = findOverride(repoOverrides(), repo);
  if (!match) return repo;
  return match->value + repo.substr(match->key.size());
}

std::string mapRevision(const std::string& repo, const std::string& defaultRevision) {
  const auto match = findOverride(revisionOverrides(), repo);
  return match ? match->value : defaultRevision;
}

platform::Url resolveModel(const std::string& repo, const std::string& path,
                           const std::string& revision) {
  return parsed(fmt::format("{}/{}/resolve/{}/{}", baseURL(), mapRepoPath(repo), revision, path));
}

platform::Url apiModels(const std::string& repo, const std::string& path) {
  return parsed(fmt::format("{}/api/models/{}/{}", baseURL(), mapRepoPath(repo), path));
}

platform::Url apiDatasets(const std::string& dataset, const std::string& path) {
  return parsed(fmt::format("{}/api/datasets/{}/{}", baseURL(), dataset, path));
}

platform::Url resolveDataset(const std::string& dataset, const std::string& path,
                             const std::string& revision) {
  return parsed(fmt::format("{}/datasets/{}/resolve/{}/{}", baseURL(), dataset, revision, path));
}

std::string resolveDatasetBase(const std::string& dataset, const std::string& revision) {
  return fmt::format("{}/datasets/{}/resolve/{}", baseURL(), dataset, revision);
}

std::optional<platform::ProxySettings> configureProxySettings() {
  platform::ProxySettings settings;
  if (auto text = platform::Environment::value("https_proxy")) settings.https = parseProxyURL(*text, "HTTPS");
  if (auto text = platform::Environment::value("http_proxy")) settings.http = parseProxyURL(*text, "HTTP");
  if (settings.empty()) return std::nullopt;
  return settings;
}

std::optional<platform::ProxySettings::Entry> parseProxyURL(const std::string& text,
                                                            const std::string& type) {
  auto entry = platform::ProxySettings::parseProxyURL(text);
  if (!entry) {
    logger().warning(fmt::format("Invalid {} proxy URL: {}", type, text));
    return std::nullopt;
  }
  if (type != "HTTPS" && type != "HTTP") return std::nullopt;
  logger().info(fmt::format("Configured {} proxy: {}:{}", type, entry->host, entry->port));
  return entry;
}

}  // namespace tesselaudio::ModelRegistry
