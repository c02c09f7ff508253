// The small services of the model hub: fetches of single files and clearing of caches.

#include "speech/Shared/Download/ModelHub.h"

#include <system_error>

#include "platform/sys/StandardPaths.h"
#include "speech/Shared/Download/DownloadError.h"
#include "speech/Shared/Download/FileDownloader.h"
#include "speech/Shared/Download/HFClient.h"

namespace tesselaudio::ModelHub {

namespace fs = std::filesystem;

namespace {

constexpr double kRequestTimeoutSeconds = 1800;

// Removes `folder` with everything in it; only absolute places are touched, so that an unset
// home or data folder never turns into a path relative to the working folder.
void removeQuietly(const fs::path& folder) {
  if (!folder.is_absolute()) return;
  std::error_code ignored;
  fs::remove_all(folder, ignored);
}

}  // namespace

std::string fetchFile(const platform::Url& from, const std::string& description, int maxAttempts,
                      double minBackoff, std::stop_token stop) {
  return FileDownloader::fetchData(from, description, maxAttempts, minBackoff, nullptr, std::move(stop));
}

platform::HttpResponse fetchWithAuth(const platform::Url& from, std::stop_token stop) {
  if (offlineMode()) throw DownloadError::networkDisabled("fetchWithAuth(" + from.text() + ")");
  return HFClient::session().send(HFClient::authorizedRequest(from, kRequestTimeoutSeconds), stop);
}

platform::HttpClient& session() { return HFClient::session(); }

void clearCache(Repo repo, const fs::path& directory) {
  const std::string name = repo.folderName();
  // One component only: anything else would reach beyond the repository's own folder.
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) return;
  std::error_code ignored;
  fs::remove_all(directory / name, ignored);
}

void clearAllCaches() {
  removeQuietly(platform::StandardPaths::applicationSupportDirectory() / "TesselAudio" / "Models");
  removeQuietly(platform::StandardPaths::homeDirectory() / ".cache" / "tesselaudio");
  logger().info("All model caches cleared");
}

}  // namespace tesselaudio::ModelHub
