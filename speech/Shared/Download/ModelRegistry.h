#pragma once

#include <map>
#include <optional>
#include <string>

#include "platform/net/ProxySettings.h"
#include "platform/net/Url.h"
#include "platform/sys/Error.h"

namespace tesselaudio {

// Where the speech library fetches its models from: the hub's root address (assigned, or from
// "REGISTRY_URL", then "MODEL_REGISTRY_URL", else the public hub), overrides that rewrite
// repository paths or pin revisions (for one repository or every repository under a prefix), the
// hub's address shapes, and the proxies of the environment.
//
//   <base>/api/models/<repo>/tree/<revision>[/<folder>]   listing
//   <base>/<repo>/resolve/<revision>/<path>               file download
//
// Process-wide values, safe from any thread; a host program sets them before model delivery starts.
namespace ModelRegistry {

// The public hub's root address, used when nothing else names one.
inline constexpr const char* kDefaultBaseURL = "https://huggingface.co";

// A text that the URL parser rejects. Values.
class Error : public platform::Error {
 public:
  // "Invalid URL construction: <text>".
  static Error invalidURL(std::string text);

  const std::string& text() const { return text_; }

 private:
  explicit Error(std::string text);
  std::string text_;
};

// The root address, read afresh on every call: the assigned one, else "REGISTRY_URL" (an empty
// variable counts as present), else "MODEL_REGISTRY_URL", else kDefaultBaseURL. Used as given.
std::string baseURL();
// Assigns the root address; it wins over the environment from now on (it can be replaced, not
// cleared).
void setBaseURL(std::string url);

std::map<std::string, std::string> repoOverrides();
void setRepoOverrides(std::map<std::string, std::string> overrides);
std::map<std::string, std::string> revisionOverrides();
void setRevisionOverrides(std::map<std::string, std::string> overrides);

// `repo` after the repository overrides: the longest key equal to it, or followed in it by "/",
// wins; a prefix key keeps the rest of the path.
std::string mapRepoPath(const std::string& repo);
// The revision override of `repo` (matched as above), else `defaultRevision`.
std::string mapRevision(const std::string& repo, const std::string& defaultRevision);

// The address builders join their pieces without escaping and parse the result.
// Each throws ModelRegistry::Error::invalidURL with the joined text when it is no URL.
platform::Url resolveModel(const std::string& repo, const std::string& path,
                           const std::string& revision);
platform::Url apiModels(const std::string& repo, const std::string& path);
platform::Url apiDatasets(const std::string& dataset, const std::string& path);
platform::Url resolveDataset(const std::string& dataset, const std::string& path,
                             const std::string& revision);
// "<base>/datasets/<dataset>/resolve/<revision>", not parsed; never fails.
std::string resolveDatasetBase(const std::string& dataset, const std::string& revision);

// The proxies of "https_proxy" and "http_proxy", each logged ("Configured <type> proxy:
// <host>:<port>", or the warning "Invalid <type> proxy URL: <text>" and no proxy for that
// scheme); nullopt when neither gives one.
std::optional<platform::ProxySettings> configureProxySettings();
// One proxy entry from `text` for `type` "HTTPS" or "HTTP", logged as above; nullopt for any
// other type (without a log line) or an unusable text.
std::optional<platform::ProxySettings::Entry> parseProxyURL(const std::string& text,
                                                            const std::string& type);

}  // namespace ModelRegistry
}  // namespace tesselaudio
