#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/net/HttpClient.h"
#include "platform/net/HttpRequest.h"
#include "platform/net/HttpResponse.h"
#include "platform/net/Url.h"

namespace tesselaudio {

// What every request to the model hub shares: the process's HTTP client, the offline switch, the
// bearer token of the environment, the authorised GET request, and readers of hub responses
// (next listing page, HTML bodies, the JSON guard, Retry-After). Safe from any thread.
namespace HFClient {

// The shared HTTP client of model delivery. Its first use logs the proxies it takes from the
// environment; later changes of the proxy variables do not reach it.
platform::HttpClient& session();

// While on, every hub fetch of model delivery fails with DownloadError::networkDisabled before
// any request. Off at start.
bool offlineMode();
void setOfflineMode(bool offline);

// The first present of "HF_TOKEN", "HUGGING_FACE_HUB_TOKEN", "HUGGINGFACEHUB_API_TOKEN", read on
// every call and used as it is (an empty value counts). Never logged.
std::optional<std::string> huggingFaceToken();

// A GET request for `url` whose idle time-out is `timeout` seconds (no overall limit), with
// "Authorization: Bearer <token>" when a token exists, and no other header.
platform::HttpRequest authorizedRequest(const platform::Url& url, double timeout);

// The target of the first "next" element of the response's Link header, parsed as an absolute
// URL; nullopt when there is none or it cannot be parsed.
std::optional<platform::Url> nextPageURL(const platform::HttpResponse& response);

// Whether the first 512 bytes of `body` (lossily decoded, lower-cased, trimmed) begin with
// "<!doctype html", "<html" or "<?xml".
bool looksLikeHTML(std::string_view body);

// Guards a body meant to be JSON.
// Throws DownloadError::htmlErrorResponse(path, snippet) when its first 512 bytes, trimmed,
// begin with "<" (snippet: the first 100 characters), or when they are no valid UTF-8 and
// looksLikeHTML (empty snippet).
void validateJSONResponse(std::string_view body, const std::string& path);

// The server's Retry-After in seconds: a plain number (negative or NaN gives 0), or an HTTP date
// (seconds until then, 0 when past); nullopt when absent or unreadable.
std::optional<double> retryAfter(const platform::HttpResponse& response);

}  // namespace HFClient
}  // namespace tesselaudio
