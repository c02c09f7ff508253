#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>

#include "platform/net/HttpClient.h"
#include "platform/net/HttpRequest.h"
#include "platform/net/Url.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Shared/Download/DownloadConfig.h"
#include "speech/Shared/Download/DownloadProgress.h"

namespace tesselaudio {

// Moves single files from the model hub to disk, each attempt inside RetryPolicy::withRetry.
// Stateless; safe from any thread; several downloads may run at once.
//
// Resume state on disk, one pair per file:
//   <partial>        the bytes received so far, from offset 0, no header
//   <partial>.etag   the validator the server sent for them (a strong ETag, else Last-Modified),
//                    UTF-8 without line end; read back trimmed. Weak ETags are never stored.
// A partial file without a usable validator is never resumed: it is removed and the download
// starts from 0. A finished file is returned only after it passed validation (no HTML, not empty,
// the listed size), so a half-downloaded file is never taken for whole.
namespace FileDownloader {

// The logger of model delivery, category "DownloadUtils".
const AppLogger& logger();

// Streams `request`'s file into the partial file (`partialFileURL`, or "<UUID>.partial" in the
// temporary folder), resuming with Range/If-Range from a partial file with a validator, and
// cancelling a transfer that adds fewer than config.minStallBytes in a config.stallWindow
// (neither 0 turns the watchdog off). `expectedSize` < 1 means unknown. `onProgress` gets (bytes
// in the partial file, expected total or -1) after each chunk. Uses `client`, else the hub's
// shared client. Returns the partial file's path, complete and validated; the caller moves it
// into place.
// Throws DownloadError (networkDisabled in offline mode; rateLimited; invalidArtifact;
// downloadFailed with the HTTP status; stalled; invalidResponse), the transport's or the file
// system's error, or a cancellation that RetryPolicy::isCancellation recognises. The partial files
// stay for the next call except after a failed validation, a 416 or an unusable validator.
std::filesystem::path download(const platform::HttpRequest& request, const std::string& path,
                               std::int64_t expectedSize,
                               const std::optional<std::filesystem::path>& partialFileURL,
                               const ByteProgressCallback& onProgress, int maxAttempts,
                               double minBackoff, const DownloadConfig& config,
                               const platform::HttpClient* client, std::stop_token stop);

// Fetches a small file into memory with the hub token and a 1800 s idle time-out.
// Throws DownloadError (networkDisabled "fetchFile(<description>)", rateLimited,
// downloadFailed, invalidArtifact for an HTML type or body or an empty body, invalidResponse),
// the transport's error or CancellationError.
std::string fetchData(const platform::Url& url, const std::string& description, int maxAttempts,
                      double minBackoff, const platform::HttpClient* client, std::stop_token stop);

}  // namespace FileDownloader
}  // namespace tesselaudio
