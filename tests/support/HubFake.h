#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "tests/support/LoopbackServer.h"

namespace testsupport {

// The model hub on loopback, for model-delivery tests. It serves a table revision → repository →
// files through the hub's two endpoints:
//
//   GET /api/models/<org>/<repo>/tree/<revision>[/<folder>][?cursor=N]   one folder level as a
//       JSON array of entries, pageSize entries per page, Link: <absolute url>; rel="next"
//   GET /<org>/<repo>/resolve/<revision>/<percent-encoded path>         the file, with
//       Content-Length, an ETag and Last-Modified as setValidator() says, and Range/If-Range
//       answered explicitly (206 with Content-Range, 200 for a stale validator, 416 past the end)
//
// Content ids come from the bytes: SHA-256 for lfs files, the git blob SHA-1 otherwise. Faults are
// scripted per file (consumed one per request) and per listing page. Every request is recorded.
// Tests assign ModelRegistry's base address = baseURL(). Safe from any thread.
class HubFake {
 public:
  struct File {
    std::string path;
    std::string bytes;
    bool lfs = false;
  };

  // What the file endpoint sends to identify a version.
  enum class Validator { strongETag, weakETag, lastModifiedOnly, none };

  // One scripted misbehaviour of the file endpoint.
  struct Fault {
    enum class Kind {
      status,             // `status` with body "error" and optional Retry-After
      htmlContentType,    // the real bytes as "text/html; charset=utf-8"
      htmlBody,           // an HTML page as octet-stream
      emptyBody,          // 200 with no body
      dropAfter,          // announces the whole length, sends `bytes`, closes
      stallAfter,         // sends `bytes`, then nothing until the fake is destroyed
      trickle,            // `bytes` every `interval` until done
      redirectToBlob,     // 302 to /blobs/<sha256>, which serves the file
      wrongContentRange,  // answers a range request with 206 but the whole file from byte 0
    };
    Kind kind = Kind::status;
    int status = 500;
    std::string retryAfter;
    std::size_t bytes = 0;
    std::chrono::milliseconds interval{0};

    static Fault of(Kind kind) { return Fault{kind, 0, {}, 0, {}}; }
    static Fault httpStatus(int status, std::string retryAfter = {}) {
      return Fault{Kind::status, status, std::move(retryAfter), 0, {}};
    }
    static Fault afterBytes(Kind kind, std::size_t bytes) { return Fault{kind, 0, {}, bytes, {}}; }
    static Fault trickling(std::size_t bytes, std::chrono::milliseconds interval) {
      return Fault{Kind::trickle, 0, {}, bytes, interval};
    }
  };

  // A scripted answer of a listing page.
  struct Reply {
    int status = 200;
    std::string contentType = "application/json";
    std::string body;
    std::string retryAfter;
  };

  // One request as the fake received it.
  struct Request {
    std::string method;
    std::string target;
    std::string authorization;  // empty when absent
    bool hasAuthorization = false;
    std::string range;
    std::string ifRange;
  };

  // `threads`: the server's pool size (at least maxConcurrentFiles + 2 for concurrent downloads).
  explicit HubFake(std::size_t threads = 8);
  ~HubFake();

  HubFake(const HubFake&) = delete;
  HubFake& operator=(const HubFake&) = delete;

  std::string baseURL() const { return server_.url(); }
  int port() const { return server_.port(); }

  // Adds or replaces a file of `repo` ("org/name") at `revision`.
  void putFile(const std::string& repo, const std::string& revision, File file);
  // Adds every file below `folder` (a model bundle, say) as `at`/<relative path>; model.onnx as an
  // lfs file.
  void putFolder(const std::string& repo, const std::string& revision, const std::string& at,
                 const std::filesystem::path& folder);
  // Adds every entry of `folder` at the top of the repository: folders as putFolder, files as
  // putFile (a whole model set written by a test, say).
  void putRepository(const std::string& repo, const std::string& revision, const std::filesystem::path& folder);
  void setValidator(Validator validator);
  // Queues a fault for the next request of that file (any revision).
  void failNextRequest(const std::string& repo, const std::string& path, Fault fault);

  // Entries per listing page; 0 (the default) puts a folder on one page.
  void setPageSize(std::size_t entries);
  // Makes the last page of that folder link back to its first page.
  void loopPages(const std::string& repo, const std::string& folder);
  // Makes the last page of that folder link to `url` (another server, say).
  void linkLastPageTo(const std::string& repo, const std::string& folder, std::string url);
  // Appends raw entries (a JSON array) to that folder's listing, after the table's entries.
  void addRawEntries(const std::string& repo, const std::string& folder, const nlohmann::json& entries);
  // Answers page `page` (0-based) of that folder with `reply` from now on.
  void replacePage(const std::string& repo, const std::string& folder, std::size_t page, Reply reply);

  std::vector<Request> requests() const;
  void clearRequests();

  // Paces every file transfer to `bytesPerSecond` per connection; 0 (the default) sends at full speed.
  void setBytesPerSecond(double bytesPerSecond);
  // Makes each file request wait until `count` file requests have arrived in all (counting from
  // now), so that a test sees them in flight together; after `timeout` a request goes on anyway
  // and holdTimedOut() turns true. 0 turns the hold off.
  void holdFileRequests(std::size_t count, std::chrono::milliseconds timeout);
  bool holdTimedOut() const;
  // Makes requests of that file wait until releaseFile() (or the fake's end); the file's scripted
  // faults apply after the wait.
  void holdFile(const std::string& repo, const std::string& path);
  void releaseFile(const std::string& repo, const std::string& path);
  // File requests received so far, and a wait until there are `count` of them (false on time-out).
  std::size_t fileRequestCount() const;
  bool waitForFileRequests(std::size_t count, std::chrono::milliseconds timeout);

  // The content ids of `bytes`, lower-case hex.
  static std::string sha256(std::string_view bytes);
  static std::string gitBlobSHA1(std::string_view bytes);

 private:
  // A file as served: its bytes shared with every transfer (no copy per request) and its content
  // ids computed once.
  struct Stored {
    std::string path;
    std::shared_ptr<const std::string> bytes;
    bool lfs = false;
    std::string sha256;
    std::string gitSHA1;
  };

  void handleTree(const httplib::Request& req, httplib::Response& res);
  void handleFile(const httplib::Request& req, httplib::Response& res);
  void serveBytes(const httplib::Request& req, httplib::Response& res, const Stored& file,
                  const Fault* fault);
  nlohmann::json folderEntries(const std::string& repo, const std::string& revision,
                               const std::string& folder) const;
  // Waits up to `timeout` for destruction; true once the fake is closing.
  bool waitForClose(std::chrono::milliseconds timeout);
  // Counts a file request and keeps it waiting while a hold says so.
  void admitFileRequest(const std::string& repo, const std::string& path);

  mutable std::mutex mutex_;
  std::condition_variable closing_;
  bool closed_ = false;                                                        // guarded by mutex_
  std::map<std::string, std::map<std::string, std::vector<Stored>>> files_;     // revision → repo → files
  Validator validator_ = Validator::strongETag;                                // guarded by mutex_
  std::map<std::string, std::deque<Fault>> faults_;                            // "repo|path"
  std::size_t pageSize_ = 0;
  std::map<std::string, std::string> lastPageLinks_;                           // "repo|folder" → url
  std::map<std::string, std::vector<std::string>> rawEntries_;                 // "repo|folder" → JSON texts
  std::map<std::string, Reply> replacedPages_;                                 // "repo|folder|page"
  std::vector<Request> requests_;
  double bytesPerSecond_ = 0;                                                  // guarded by mutex_
  std::size_t fileRequests_ = 0;                                               // guarded by mutex_
  std::size_t holdBase_ = 0;                                                   // guarded by mutex_
  std::size_t holdCount_ = 0;                                                  // guarded by mutex_
  std::chrono::milliseconds holdTimeout_{0};                                   // guarded by mutex_
  bool holdTimedOut_ = false;                                                  // guarded by mutex_
  std::set<std::string> heldFiles_;                                            // "repo|path"
  std::condition_variable admitted_;

  LoopbackServer server_;  // last: stops before the state above goes
};

}  // namespace testsupport
