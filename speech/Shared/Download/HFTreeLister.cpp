#include "speech/Shared/Download/HFTreeLister.h"

#include <set>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "speech/Shared/AppLogger.h"
#include "speech/Shared/Download/DownloadError.h"
#include "speech/Shared/Download/HFClient.h"
#include "speech/Shared/Download/ModelRegistry.h"

namespace tesselaudio::HFTreeLister {

namespace {

constexpr int kMaxDepth = 64;
constexpr double kPageTimeoutSeconds = 1800;

const AppLogger& logger() {
  static const AppLogger instance("HFTreeLister");
  return instance;
}

// Paths are later joined to local folders: refuse anything that could leave them.
bool isSafeRelativePath(const std::string& path) {
  if (path.empty() || path.front() == '/' || path.find('\0') != std::string::npos) return false;
  std::size_t start = 0;
  for (;;) {
    const auto slash = path.find('/', start);
    const std::string component = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (component.empty() || component == "." || component == "..") return false;
    if (slash == std::string::npos) return true;
    start = slash + 1;
  }
}

bool isStrictlyBelow(const std::string& path, const std::string& folder) {
  if (folder.empty()) return true;
  return path.size() > folder.size() + 1 && path.compare(0, folder.size(), folder) == 0 &&
         path[folder.size()] == '/';
}

std::optional<RemoteFile::ContentID> contentIDOf(const nlohmann::json& entry) {
  if (entry.contains("lfs")) {
    const auto& lfs = entry["lfs"];
    if (lfs.is_object() && lfs.contains("oid") && lfs["oid"].is_string()) {
      return RemoteFile::ContentID::lfsSHA256(lfs["oid"].get<std::string>());
    }
    return std::nullopt;
  }
  if (entry.contains("oid") && entry["oid"].is_string()) {
    return RemoteFile::ContentID::gitBlobSHA1(entry["oid"].get<std::string>());
  }
  return std::nullopt;
}

std::int64_t sizeOf(const nlohmann::json& entry) {
  if (!entry.contains("size")) return -1;
  const auto& size = entry["size"];
  if (size.is_number_integer()) return size.get<std::int64_t>();
  return -1;
}

struct Lister {
  const std::string& repo;
  const std::string& revision;
  const IncludeFilter& include;
  const PageFetcher& fetch;

  std::vector<RemoteFile> list(const std::string& folder, int depth) const {
    if (depth > kMaxDepth) throw DownloadError::invalidResponse();
    const std::string below = folder.empty() ? fmt::format("tree/{}", revision)
                                             : fmt::format("tree/{}/{}", revision, folder);
    const platform::Url first = ModelRegistry::apiModels(repo, below);
    std::vector<RemoteFile> files;
    std::set<std::string> visited{first.text()};
    platform::Url page = first;
    for (;;) {
      const platform::HttpResponse response = fetch(page, page.sameOrigin(first));
      readPage(response, folder, depth, files);
      const auto next = HFClient::nextPageURL(response);
      if (!next) return files;
      if (!visited.insert(next->text()).second) {
        logger().warning(fmt::format("Pagination cursor for {} repeats {}; stopping after {} page(s).",
                                     folder.empty() ? "repo root" : folder, next->text(), visited.size()));
        return files;
      }
      page = *next;
    }
  }

  void readPage(const platform::HttpResponse& response, const std::string& folder, int depth,
                std::vector<RemoteFile>& files) const {
    if (response.statusCode == 429 || response.statusCode == 503) {
      throw DownloadError::rateLimited(
          response.statusCode,
          folder.empty() ? fmt::format("Rate limited while listing files (HTTP {})", response.statusCode)
                         : fmt::format("Rate limited while listing files in {} (HTTP {})", folder,
                                       response.statusCode));
    }
    HFClient::validateJSONResponse(response.body, folder);
    const nlohmann::json entries = nlohmann::json::parse(response.body);
    if (!entries.is_array()) throw DownloadError::invalidResponse();
    for (const auto& entry : entries) {
      if (!entry.is_object()) throw DownloadError::invalidResponse();
    }
    for (const auto& entry : entries) readEntry(entry, folder, depth, files);
  }

  void readEntry(const nlohmann::json& entry, const std::string& folder, int depth,
                 std::vector<RemoteFile>& files) const {
    if (!entry.contains("path") || !entry["path"].is_string()) return;
    if (!entry.contains("type") || !entry["type"].is_string()) return;
    const std::string path = entry["path"].get<std::string>();
    const std::string type = entry["type"].get<std::string>();
    if (type != "directory" && type != "file") return;
    if (!isSafeRelativePath(path)) throw DownloadError::invalidResponse();
    if (type == "directory") {
      if (!include(path, true)) return;
      if (!isStrictlyBelow(path, folder)) {
        logger().warning(fmt::format("Skipping folder {} listed in {}: it is not below it.", path,
                                     folder.empty() ? "repo root" : folder));
        return;
      }
      auto nested = list(path, depth + 1);
      files.insert(files.end(), std::make_move_iterator(nested.begin()), std::make_move_iterator(nested.end()));
      return;
    }
    if (include(path, false)) files.push_back(RemoteFile{path, sizeOf(entry), contentIDOf(entry)});
  }
};

}  // namespace

std::vector<RemoteFile> listTree(const std::string& repoRemotePath, const std::string& revision,
                                 const std::string& startingAt, const IncludeFilter& include,
                                 const PageFetcher& fetch) {
  return Lister{repoRemotePath, revision, include, fetch}.list(startingAt, 0);
}

PageFetcher fetch(const platform::HttpClient& session, std::stop_token stop) {
  return [&session, stop](const platform::Url& page, bool sendToken) {
    if (HFClient::offlineMode()) {
      throw DownloadError::networkDisabled(fmt::format("listTree({})", page.path()));
    }
    platform::HttpRequest request = HFClient::authorizedRequest(page, kPageTimeoutSeconds);
    if (!sendToken) request.headers.remove("Authorization");
    platform::HttpResponse response = session.send(request, stop);
    if (response.statusCode <= 0) throw DownloadError::invalidResponse();
    return response;
  };
}

}  // namespace tesselaudio::HFTreeLister
