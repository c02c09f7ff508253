#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <stop_token>
#include <string>

#include "platform/update/UpdateItem.h"

namespace platform {

// Fetches the update feed and release archives over https through the project's HTTP client.
// Redirects are followed only within the host of the first address, and only to https. Safe from
// any thread; every call blocks its caller, so the updater runs them off the GUI thread.
class UpdateDownloader {
 public:
  static constexpr std::int64_t kMaxFeedBytes = 1024 * 1024;
  static constexpr int kMaxRedirects = 5;

  // Progress of a download: bytes received so far and bytes expected.
  using Progress = std::function<void(std::int64_t received, std::int64_t expected)>;

  // `idleTimeoutSeconds`: a transfer fails when no byte moves for this long. `caBundlePath`: a PEM
  // file of certificate authorities trusted instead of the system's (empty = the system's).
  UpdateDownloader(double idleTimeoutSeconds, std::string caBundlePath);

  // The body of the feed at `feedURL`, at most kMaxFeedBytes. Throws UpdateError::insecureAddress
  // (not https, or a redirect elsewhere), UpdateError::feedUnreadable (transport failure or a status
  // other than 200), or CancellationError.
  std::string fetchFeed(const std::string& feedURL, std::stop_token stop) const;

  // Downloads `item`'s archive into `folder` (created when missing) and returns the whole file's
  // path. The bytes go to "<name>.part" first, which is renamed only once exactly
  // item.contentLength bytes have arrived; a partial file is never left under the final name.
  // Throws UpdateError::insecureAddress, UpdateError::downloadFailed, UpdateError::lengthMismatch,
  // or CancellationError; the partial file is removed on every throw.
  std::filesystem::path downloadArchive(const UpdateItem& item, const std::filesystem::path& folder,
                                        const Progress& progress, std::stop_token stop) const;

 private:
  double idleTimeoutSeconds_;
  std::string caBundlePath_;
};

}  // namespace platform
