#include "tests/support/HubFake.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>

#include <fmt/format.h>
#include <nlohmann/json.hpp>
#include <openssl/evp.h>

namespace testsupport {

namespace {

constexpr auto kHangGuard = std::chrono::seconds(30);
constexpr const char* kLastModified = "Wed, 21 Oct 2015 07:28:00 GMT";
constexpr const char* kLoopMarker = "<loop>";

std::string digestHex(const EVP_MD* type, std::string_view prefix, std::string_view bytes) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestInit_ex(context.get(), type, nullptr);
  EVP_DigestUpdate(context.get(), prefix.data(), prefix.size());
  EVP_DigestUpdate(context.get(), bytes.data(), bytes.size());
  EVP_DigestFinal_ex(context.get(), digest, &length);
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) hex += fmt::format("{:02x}", digest[i]);
  return hex;
}

std::string key(const std::string& a, const std::string& b) { return a + "|" + b; }

std::string treeURL(const std::string& base, const std::string& repo, const std::string& revision,
                    const std::string& folder) {
  std::string url = fmt::format("{}/api/models/{}/tree/{}", base, repo, revision);
  if (!folder.empty()) url += "/" + folder;
  return url;
}

// "bytes=N-" → N; anything else → -1.
long long rangeStart(const std::string& range) {
  if (range.rfind("bytes=", 0) != 0 || range.empty() || range.back() != '-') return -1;
  const std::string digits = range.substr(6, range.size() - 7);
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) return -1;
  return std::stoll(digits);
}

}  // namespace

HubFake::HubFake(std::size_t threads) : server_(threads) {
  auto& s = server_.server();
  s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response&) {
    std::scoped_lock lock(mutex_);
    requests_.push_back(Request{req.method, req.target, req.get_header_value("Authorization"),
                                req.has_header("Authorization"), req.get_header_value("Range"),
                                req.get_header_value("If-Range")});
    return httplib::Server::HandlerResponse::Unhandled;
  });
  s.Get(R"(/api/models/([^/]+/[^/]+)/tree/([^/]+)(/.*)?)",
        [this](const httplib::Request& req, httplib::Response& res) { handleTree(req, res); });
  s.Get(R"(/blobs/([0-9a-f]+))", [this](const httplib::Request& req, httplib::Response& res) {
    std::optional<Stored> found;
    {
      std::scoped_lock lock(mutex_);
      for (const auto& [revision, repos] : files_) {
        for (const auto& [repo, files] : repos) {
          for (const auto& file : files) {
            if (file.sha256 == req.matches[1].str()) found = file;
          }
        }
      }
    }
    if (!found) {
      res.status = 404;
      return;
    }
    serveBytes(req, res, *found, nullptr);
  });
  s.Get(R"(/([^/]+/[^/]+)/resolve/([^/]+)/(.+))",
        [this](const httplib::Request& req, httplib::Response& res) { handleFile(req, res); });
}

HubFake::~HubFake() {
  {
    std::scoped_lock lock(mutex_);
    closed_ = true;
  }
  closing_.notify_all();
  admitted_.notify_all();
}

void HubFake::putFile(const std::string& repo, const std::string& revision, File file) {
  auto bytes = std::make_shared<const std::string>(std::move(file.bytes));
  Stored stored{std::move(file.path), bytes, file.lfs, sha256(*bytes), gitBlobSHA1(*bytes)};
  std::scoped_lock lock(mutex_);
  auto& files = files_[revision][repo];
  auto same = std::find_if(files.begin(), files.end(), [&](const Stored& f) { return f.path == stored.path; });
  if (same != files.end()) {
    *same = std::move(stored);
  } else {
    files.push_back(std::move(stored));
  }
}

void HubFake::putFolder(const std::string& repo, const std::string& revision, const std::string& at,
                        const std::filesystem::path& folder) {
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    if (!entry.is_regular_file()) continue;
    const std::string relative = entry.path().lexically_relative(folder).generic_string();
    std::ifstream in(entry.path(), std::ios::binary);
    putFile(repo, revision, {at + "/" + relative, std::string(std::istreambuf_iterator<char>(in), {}),
                             relative == "model.onnx"});
  }
}

void HubFake::putRepository(const std::string& repo, const std::string& revision,
                            const std::filesystem::path& folder) {
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (entry.is_directory()) {
      putFolder(repo, revision, name, entry.path());
    } else {
      std::ifstream in(entry.path(), std::ios::binary);
      putFile(repo, revision, {name, std::string(std::istreambuf_iterator<char>(in), {})});
    }
  }
}

void HubFake::setValidator(Validator validator) {
  std::scoped_lock lock(mutex_);
  validator_ = validator;
}

void HubFake::failNextRequest(const std::string& repo, const std::string& path, Fault fault) {
  std::scoped_lock lock(mutex_);
  faults_[key(repo, path)].push_back(std::move(fault));
}

void HubFake::setPageSize(std::size_t entries) {
  std::scoped_lock lock(mutex_);
  pageSize_ = entries;
}

void HubFake::loopPages(const std::string& repo, const std::string& folder) {
  std::scoped_lock lock(mutex_);
  lastPageLinks_[key(repo, folder)] = kLoopMarker;
}

void HubFake::linkLastPageTo(const std::string& repo, const std::string& folder, std::string url) {
  std::scoped_lock lock(mutex_);
  lastPageLinks_[key(repo, folder)] = std::move(url);
}

void HubFake::addRawEntries(const std::string& repo, const std::string& folder,
                            const nlohmann::json& entries) {
  std::scoped_lock lock(mutex_);
  for (const auto& entry : entries) rawEntries_[key(repo, folder)].push_back(entry.dump());
}

void HubFake::replacePage(const std::string& repo, const std::string& folder, std::size_t page,
                          Reply reply) {
  std::scoped_lock lock(mutex_);
  replacedPages_[key(key(repo, folder), std::to_string(page))] = std::move(reply);
}

std::vector<HubFake::Request> HubFake::requests() const {
  std::scoped_lock lock(mutex_);
  return requests_;
}

void HubFake::clearRequests() {
  std::scoped_lock lock(mutex_);
  requests_.clear();
}

void HubFake::setBytesPerSecond(double bytesPerSecond) {
  std::scoped_lock lock(mutex_);
  bytesPerSecond_ = bytesPerSecond;
}

void HubFake::holdFileRequests(std::size_t count, std::chrono::milliseconds timeout) {
  {
    std::scoped_lock lock(mutex_);
    holdBase_ = fileRequests_;
    holdCount_ = count;
    holdTimeout_ = timeout;
    holdTimedOut_ = false;
  }
  admitted_.notify_all();
}

bool HubFake::holdTimedOut() const {
  std::scoped_lock lock(mutex_);
  return holdTimedOut_;
}

void HubFake::holdFile(const std::string& repo, const std::string& path) {
  std::scoped_lock lock(mutex_);
  heldFiles_.insert(key(repo, path));
}

void HubFake::releaseFile(const std::string& repo, const std::string& path) {
  {
    std::scoped_lock lock(mutex_);
    heldFiles_.erase(key(repo, path));
  }
  admitted_.notify_all();
}

std::size_t HubFake::fileRequestCount() const {
  std::scoped_lock lock(mutex_);
  return fileRequests_;
}

bool HubFake::waitForFileRequests(std::size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return admitted_.wait_for(lock, timeout, [&] { return fileRequests_ >= count; });
}

void HubFake::admitFileRequest(const std::string& repo, const std::string& path) {
  std::unique_lock lock(mutex_);
  ++fileRequests_;
  admitted_.notify_all();
  if (holdCount_ > 0) {
    const bool reached = admitted_.wait_for(lock, holdTimeout_, [this] {
      return closed_ || holdCount_ == 0 || fileRequests_ - holdBase_ >= holdCount_;
    });
    if (!reached) holdTimedOut_ = true;
  }
  admitted_.wait_for(lock, kHangGuard, [&] { return closed_ || !heldFiles_.contains(key(repo, path)); });
}

std::string HubFake::sha256(std::string_view bytes) { return digestHex(EVP_sha256(), "", bytes); }

std::string HubFake::gitBlobSHA1(std::string_view bytes) {
  const std::string header = fmt::format("blob {}", bytes.size());
  return digestHex(EVP_sha1(), std::string_view(header.c_str(), header.size() + 1), bytes);
}

bool HubFake::waitForClose(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return closing_.wait_for(lock, timeout, [this] { return closed_; });
}

// REQUIRES: mutex_ held.
nlohmann::json HubFake::folderEntries(const std::string& repo, const std::string& revision,
                                      const std::string& folder) const {
  nlohmann::json entries = nlohmann::json::array();
  std::set<std::string> directories;
  const std::string prefix = folder.empty() ? "" : folder + "/";
  auto revisionFiles = files_.find(revision);
  if (revisionFiles != files_.end()) {
    auto repoFiles = revisionFiles->second.find(repo);
    if (repoFiles != revisionFiles->second.end()) {
      for (const Stored& file : repoFiles->second) {
        if (file.path.rfind(prefix, 0) != 0) continue;
        const auto slash = file.path.find('/', prefix.size());
        if (slash != std::string::npos) {
          const std::string directory = file.path.substr(0, slash);
          if (directories.insert(directory).second) {
            entries.push_back({{"type", "directory"}, {"path", directory}, {"oid", gitBlobSHA1(directory)}, {"size", 0}});
          }
          continue;
        }
        nlohmann::json entry = {{"type", "file"},
                                {"path", file.path},
                                {"size", file.bytes->size()},
                                {"oid", file.gitSHA1}};
        if (file.lfs) {
          entry["lfs"] = {{"oid", file.sha256}, {"size", file.bytes->size()}, {"pointerSize", 134}};
        }
        entries.push_back(std::move(entry));
      }
    }
  }
  auto raw = rawEntries_.find(key(repo, folder));
  if (raw != rawEntries_.end()) {
    for (const auto& text : raw->second) entries.push_back(nlohmann::json::parse(text));
  }
  return entries;
}

void HubFake::handleTree(const httplib::Request& req, httplib::Response& res) {
  const std::string repo = req.matches[1].str();
  const std::string revision = req.matches[2].str();
  std::string folder = req.matches[3].str();
  if (!folder.empty()) folder.erase(0, 1);
  const std::size_t page = req.has_param("cursor") ? std::stoul(req.get_param_value("cursor")) : 0;

  std::scoped_lock lock(mutex_);
  auto replaced = replacedPages_.find(key(key(repo, folder), std::to_string(page)));
  if (replaced != replacedPages_.end()) {
    res.status = replaced->second.status;
    if (!replaced->second.retryAfter.empty()) res.set_header("Retry-After", replaced->second.retryAfter);
    res.set_content(replaced->second.body, replaced->second.contentType.c_str());
    // Paged replies keep their Link so that a fault on page one can be followed by page two.
  }
  const nlohmann::json entries = folderEntries(repo, revision, folder);
  const std::size_t size = pageSize_ == 0 ? std::max<std::size_t>(entries.size(), 1) : pageSize_;
  const std::size_t pages = std::max<std::size_t>((entries.size() + size - 1) / size, 1);
  const std::string first = treeURL(server_.url(), repo, revision, folder);
  if (page + 1 < pages) {
    res.set_header("Link", fmt::format("<{}?cursor={}>; rel=\"next\"", first, page + 1));
  } else if (auto link = lastPageLinks_.find(key(repo, folder)); link != lastPageLinks_.end()) {
    res.set_header("Link", fmt::format("<{}>; rel=\"next\"", link->second == kLoopMarker ? first : link->second));
  }
  if (replaced != replacedPages_.end()) return;
  nlohmann::json body = nlohmann::json::array();
  for (std::size_t i = page * size; i < std::min(entries.size(), (page + 1) * size); ++i) body.push_back(entries[i]);
  res.set_content(body.dump(), "application/json");
}

void HubFake::handleFile(const httplib::Request& req, httplib::Response& res) {
  const std::string repo = req.matches[1].str();
  const std::string revision = req.matches[2].str();
  const std::string path = req.matches[3].str();
  admitFileRequest(repo, path);
  std::optional<Stored> file;
  std::optional<Fault> fault;
  {
    std::scoped_lock lock(mutex_);
    auto revisionFiles = files_.find(revision);
    if (revisionFiles != files_.end()) {
      for (const Stored& candidate : revisionFiles->second[repo]) {
        if (candidate.path == path) file = candidate;
      }
    }
    auto queued = faults_.find(key(repo, path));
    if (queued != faults_.end() && !queued->second.empty()) {
      fault = queued->second.front();
      queued->second.pop_front();
    }
  }
  if (fault && fault->kind == Fault::Kind::status) {
    res.status = fault->status;
    if (!fault->retryAfter.empty()) res.set_header("Retry-After", fault->retryAfter);
    res.set_content("error", "text/plain");
    return;
  }
  if (!file) {
    res.status = 404;
    res.set_content("Entry not found", "text/plain");
    return;
  }
  if (fault && fault->kind == Fault::Kind::redirectToBlob) {
    res.set_redirect("/blobs/" + file->sha256);
    return;
  }
  serveBytes(req, res, *file, fault ? &*fault : nullptr);
}

void HubFake::serveBytes(const httplib::Request& req, httplib::Response& res, const Stored& file,
                         const Fault* fault) {
  // cpp-httplib would apply the Range itself; this fake answers ranges explicitly.
  const_cast<httplib::Request&>(req).ranges.clear();
  Validator validator;
  double bytesPerSecond = 0;
  {
    std::scoped_lock lock(mutex_);
    validator = validator_;
    bytesPerSecond = bytesPerSecond_;
  }
  const std::string etag = "\"" + file.sha256.substr(0, 16) + "\"";
  if (validator == Validator::strongETag) res.set_header("ETag", etag);
  if (validator == Validator::weakETag) res.set_header("ETag", "W/" + etag);
  if (validator == Validator::strongETag || validator == Validator::lastModifiedOnly) {
    res.set_header("Last-Modified", kLastModified);
  }

  using Kind = Fault::Kind;
  const Kind kind = fault ? fault->kind : Kind::status;
  if (fault && kind == Kind::htmlContentType) {
    res.set_content(*file.bytes, "text/html; charset=utf-8");
    return;
  }
  if (fault && kind == Kind::htmlBody) {
    res.set_content("<!DOCTYPE html><html><body>Sign in</body></html>", "application/octet-stream");
    return;
  }
  if (fault && kind == Kind::emptyBody) {
    res.set_content("", "application/octet-stream");
    return;
  }

  const long long length = static_cast<long long>(file.bytes->size());
  long long start = 0;
  const long long requested = req.has_header("Range") ? rangeStart(req.get_header_value("Range")) : -1;
  if (requested >= 0) {
    const std::string ifRange = req.get_header_value("If-Range");
    const bool current = !req.has_header("If-Range") ||
                         (validator == Validator::strongETag && (ifRange == etag || ifRange == kLastModified)) ||
                         (validator == Validator::lastModifiedOnly && ifRange == kLastModified);
    if (current && requested >= length) {
      res.status = 416;
      res.set_header("Content-Range", fmt::format("bytes */{}", length));
      return;
    }
    if (current && fault && kind == Kind::wrongContentRange) {
      res.status = 206;
      res.set_header("Content-Range", fmt::format("bytes 0-{}/{}", length - 1, length));
    } else if (current) {
      start = requested;
      res.status = 206;
      res.set_header("Content-Range", fmt::format("bytes {}-{}/{}", start, length - 1, length));
    }
  }

  // The body is the shared bytes from `start` on, streamed without a copy.
  const auto shared = file.bytes;
  const std::string_view body = std::string_view(*shared).substr(static_cast<std::size_t>(start));
  if (bytesPerSecond > 0 && (!fault || kind == Kind::wrongContentRange || kind == Kind::status)) {
    // Each chunk waits for its due time on a schedule that started with the answer.
    const auto started = std::chrono::steady_clock::now();
    res.set_content_provider(
        body.size(), "application/octet-stream",
        [this, shared, body, bytesPerSecond, started](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
          const auto due = started + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                         std::chrono::duration<double>(static_cast<double>(offset) / bytesPerSecond));
          const auto wait = std::chrono::ceil<std::chrono::milliseconds>(due - std::chrono::steady_clock::now());
          if (wait.count() > 0 && waitForClose(wait)) return false;
          return sink.write(body.data() + offset, std::min<std::size_t>(length, 1 << 16));
        });
    return;
  }
  if (!fault || kind == Kind::wrongContentRange || kind == Kind::status) {
    res.set_content_provider(body.size(), "application/octet-stream",
                             [shared, body](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                               return sink.write(body.data() + offset, std::min<std::size_t>(length, 1 << 16));
                             });
    return;
  }
  const Fault copy = *fault;
  res.set_content_provider(
      body.size(), "application/octet-stream",
      [this, shared, view = body, copy](std::size_t offset, std::size_t, httplib::DataSink& sink) {
        switch (copy.kind) {
          case Kind::dropAfter:
            if (offset >= copy.bytes) return false;
            sink.write(view.data() + offset, std::min(copy.bytes, view.size()) - offset);
            return true;
          case Kind::stallAfter:
            if (offset >= copy.bytes) {
              waitForClose(kHangGuard);
              return false;
            }
            sink.write(view.data() + offset, std::min(copy.bytes, view.size()) - offset);
            return true;
          case Kind::trickle: {
            if (offset > 0 && waitForClose(copy.interval)) return false;
            const std::size_t n = std::min(std::max<std::size_t>(copy.bytes, 1), view.size() - offset);
            return sink.write(view.data() + offset, n);
          }
          default: return false;
        }
      });
}

}  // namespace testsupport
