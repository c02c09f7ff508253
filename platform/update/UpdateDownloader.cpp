#include "platform/update/UpdateDownloader.h"

#include <cstdio>
#include <memory>
#include <system_error>

#include <fmt/format.h>

#include "platform/net/HttpClient.h"
#include "platform/net/Url.h"
#include "platform/sys/CancellationError.h"
#include "platform/sys/FileError.h"
#include "platform/update/UpdateError.h"

namespace platform {

namespace {

namespace fs = std::filesystem;

bool isRedirect(int status) { return status == 301 || status == 302 || status == 303 || status == 307 || status == 308; }

// Checks `address` and, for a hop, that it stays on `host`; returns the parsed address.
Url vetted(const std::string& address, const std::string* host) {
  const auto url = Url::parse(address);
  if (!url || url->scheme() != "https" || url->host().empty()) throw UpdateError::insecureAddress(address);
  if (host != nullptr && url->host() != *host) throw UpdateError::insecureAddress(address);
  return *url;
}

// Writes the body of a 200 answer to a file, ignoring the bodies of redirects.
class FileSink : public HttpStreamHandler {
 public:
  FileSink(std::FILE* file, std::int64_t expected, const UpdateDownloader::Progress& progress)
      : file_(file), expected_(expected), progress_(progress) {}

  bool onResponse(const HttpResponse& head) override {
    status_ = head.statusCode;
    return true;
  }
  bool onData(std::string_view chunk) override {
    if (status_ != 200) return true;
    if (std::fwrite(chunk.data(), 1, chunk.size(), file_) != chunk.size()) {
      throw UpdateError::downloadFailed("cannot write the downloaded file");
    }
    received_ += static_cast<std::int64_t>(chunk.size());
    if (progress_) progress_(received_, expected_);
    return true;
  }
  std::int64_t received() const { return received_; }

 private:
  std::FILE* file_;
  std::int64_t expected_;
  const UpdateDownloader::Progress& progress_;
  int status_ = 0;
  std::int64_t received_ = 0;
};

}  // namespace

UpdateDownloader::UpdateDownloader(double idleTimeoutSeconds, std::string caBundlePath)
    : idleTimeoutSeconds_(idleTimeoutSeconds), caBundlePath_(std::move(caBundlePath)) {}

std::string UpdateDownloader::fetchFeed(const std::string& feedURL, std::stop_token stop) const {
  const std::string host = vetted(feedURL, nullptr).host();
  std::string address = feedURL;
  for (int hop = 0; hop <= kMaxRedirects; ++hop) {
    HttpRequest request;
    request.url = address;
    request.idleTimeout = idleTimeoutSeconds_;
    request.maxResponseBytes = kMaxFeedBytes;
    request.followRedirects = false;
    request.caBundlePath = caBundlePath_;
    HttpResponse response;
    try {
      response = HttpClient::shared().send(request, stop);
    } catch (const CancellationError&) {
      throw;
    } catch (const std::exception& error) {
      throw UpdateError::feedUnreadable(error.what(), std::current_exception());
    }
    if (isRedirect(response.statusCode) && !response.redirectURL.empty()) {
      address = vetted(response.redirectURL, &host).text();
      continue;
    }
    if (response.statusCode != 200) {
      throw UpdateError::feedUnreadable(fmt::format("HTTP {} from {}", response.statusCode, address));
    }
    return std::move(response.body);
  }
  throw UpdateError::feedUnreadable(fmt::format("more than {} redirects from {}", kMaxRedirects, feedURL));
}

fs::path UpdateDownloader::downloadArchive(const UpdateItem& item, const fs::path& folder,
                                           const Progress& progress, std::stop_token stop) const {
  const std::string host = vetted(item.fileURL, nullptr).host();
  std::error_code error;
  fs::create_directories(folder, error);
  if (error) throw UpdateError::downloadFailed(fmt::format("cannot create {}: {}", folder.string(), error.message()));
  const fs::path target = folder / fmt::format("VeltoVoice-{}.tar.gz", item.versionString);
  const fs::path partial = fs::path(target.string() + ".part");

  using File = std::unique_ptr<std::FILE, decltype(&std::fclose)>;
  auto removePartial = [&] {
    std::error_code ignored;
    fs::remove(partial, ignored);
  };
  std::string address = item.fileURL;
  for (int hop = 0; hop <= kMaxRedirects; ++hop) {
    File file(std::fopen(partial.c_str(), "wb"), &std::fclose);
    if (!file) throw FileError::fromErrno("open", partial, errno);
    HttpRequest request;
    request.url = address;
    request.idleTimeout = idleTimeoutSeconds_;
    request.maxResponseBytes = item.contentLength;
    request.followRedirects = false;
    request.caBundlePath = caBundlePath_;
    FileSink sink(file.get(), item.contentLength, progress);
    HttpResponse head;
    try {
      head = HttpClient::shared().stream(request, sink, stop);
      if (std::fflush(file.get()) != 0) throw UpdateError::downloadFailed("cannot write the downloaded file");
    } catch (const CancellationError&) {
      file.reset();
      removePartial();
      throw;
    } catch (const UpdateError&) {
      file.reset();
      removePartial();
      throw;
    } catch (const std::exception& failure) {
      file.reset();
      removePartial();
      throw UpdateError::downloadFailed(failure.what(), std::current_exception());
    }
    file.reset();
    if (isRedirect(head.statusCode) && !head.redirectURL.empty()) {
      try {
        address = vetted(head.redirectURL, &host).text();
      } catch (...) {
        removePartial();
        throw;
      }
      continue;
    }
    if (head.statusCode != 200) {
      removePartial();
      throw UpdateError::downloadFailed(fmt::format("HTTP {} from {}", head.statusCode, address));
    }
    if (sink.received() != item.contentLength) {
      removePartial();
      throw UpdateError::lengthMismatch(item.contentLength, sink.received());
    }
    fs::rename(partial, target, error);
    if (error) {
      removePartial();
      throw UpdateError::downloadFailed(fmt::format("cannot rename {}: {}", partial.string(), error.message()));
    }
    return target;
  }
  removePartial();
  throw UpdateError::downloadFailed(fmt::format("more than {} redirects from {}", kMaxRedirects, item.fileURL));
}

}  // namespace platform
