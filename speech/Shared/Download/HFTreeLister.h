#pragma once

#include <functional>
#include <stop_token>
#include <string>
#include <vector>

#include "platform/net/HttpClient.h"
#include "platform/net/HttpResponse.h"
#include "platform/net/Url.h"
#include "speech/Shared/Download/RemoteFile.h"

namespace tesselaudio {

// Lists the files of one revision of a hub repository, or of one folder in it, through the hub's
// tree API: page by page along the Link header, descending depth first into the folders that the
// caller's filter admits. One request at a time; stateless; safe from any thread.
//
// A listing page is a JSON array of entries {"path", "type": "file"|"directory", "size", "oid",
// "lfs": {"oid"}}; an lfs "oid" is the content's SHA-256, a top-level "oid" its git blob id.
namespace HFTreeLister {

// Decides whether a listed path (a folder when isDirectory) is wanted.
using IncludeFilter = std::function<bool(const std::string& path, bool isDirectory)>;

// Fetches one listing page; `sendToken` is false for a page on another scheme, host or port than
// the folder's first page, whose request must carry no credentials.
using PageFetcher = std::function<platform::HttpResponse(const platform::Url& page, bool sendToken)>;

// The files of `startingAt` ("" for the repository root; no leading or trailing "/") of
// `repoRemotePath` at `revision` (used as given), in the hub's order, with the files of each
// admitted folder where the folder's entry stood. Entries without a string "path" or a known
// "type" are skipped; folders not strictly below the folder being listed are skipped with a warning.
// Throws ModelRegistry::Error (address), DownloadError::rateLimited (429, 503),
// DownloadError::htmlErrorResponse (markup), the JSON parser's error, DownloadError::invalidResponse
// (no array of objects; an entry path that is empty, absolute, holds an empty, "." or ".." component
// or a NUL; folders nested beyond 64 levels), or the fetcher's error, unchanged.
std::vector<RemoteFile> listTree(const std::string& repoRemotePath, const std::string& revision,
                                 const std::string& startingAt, const IncludeFilter& include,
                                 const PageFetcher& fetch);

// The default page fetcher on `session`: a GET with a 1800 s idle time-out and the hub token
// (when sendToken). Throws DownloadError::networkDisabled("listTree(<page path>)") in offline mode
// before any request, the client's errors, and DownloadError::invalidResponse for an answer
// without an HTTP status.
PageFetcher fetch(const platform::HttpClient& session, std::stop_token stop);

}  // namespace HFTreeLister
}  // namespace tesselaudio
