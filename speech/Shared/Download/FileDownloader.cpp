#include "speech/Shared/Download/FileDownloader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <memory>
#include <mutex>

#include <fmt/format.h>

#include "platform/net/HttpStatusError.h"
#include "platform/sys/CancellationError.h"
#include "platform/sys/FileError.h"
#include "platform/sys/FileIO.h"
#include "platform/sys/RepeatingTimer.h"
#include "platform/sys/SerialQueue.h"
#include "platform/sys/Uuid.h"
#include "platform/net/TransportError.h"
#include "platform/text/Whitespace.h"
#include "speech/Shared/Download/DownloadError.h"
#include "speech/Shared/Download/HFClient.h"
#include "speech/Shared/Download/RetryPolicy.h"

namespace tesselaudio::FileDownloader {

namespace fs = std::filesystem;

namespace {

constexpr double kFetchTimeoutSeconds = 1800;
constexpr std::size_t kSniffBytes = 512;

// Every transfer's stall timer runs here; made once and never destroyed, so that ticks still
// queued at exit find it.
platform::SerialQueue& watchdogQueue() {
  static auto* queue = new platform::SerialQueue("tessel-audio.download.stall-watchdog");
  return *queue;
}

fs::path validatorPathOf(const fs::path& partial) { return fs::path(partial.string() + ".etag"); }

void removeIgnoringErrors(const fs::path& file) {
  std::error_code ignored;
  fs::remove(file, ignored);
}

void clearPartialDownload(const fs::path& partial) {
  removeIgnoringErrors(partial);
  removeIgnoringErrors(validatorPathOf(partial));
}

std::int64_t fileSize(const fs::path& file) {
  struct stat info {};
  if (::stat(file.c_str(), &info) != 0) return 0;
  return static_cast<std::int64_t>(info.st_size);
}

std::string lowered(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
  }
  return text;
}

std::optional<std::int64_t> decimal(std::string_view text) {
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

// The first byte of a "bytes N-M/L" Content-Range.
std::optional<std::int64_t> contentRangeStart(const std::string& value) {
  if (value.rfind("bytes ", 0) != 0) return std::nullopt;
  const auto dash = value.find('-', 6);
  if (dash == std::string::npos) return std::nullopt;
  return decimal(std::string_view(value).substr(6, dash - 6));
}

std::optional<std::string> resumeValidator(const platform::HttpResponse& response) {
  if (auto etag = response.headers.value("ETag"); etag && etag->rfind("W/", 0) != 0) return etag;
  return response.headers.value("Last-Modified");
}

// Throws DownloadError::invalidArtifact when the file is no acceptable artifact.
void validateDownloadedArtifact(const fs::path& file, const platform::HttpResponse* response,
                                const std::string& path, std::int64_t expectedSize) {
  if (response != nullptr) {
    if (auto type = response->headers.value("Content-Type")) {
      const std::string value = lowered(*type);
      if (value.find("text/html") != std::string::npos) {
        throw DownloadError::invalidArtifact(path, "server returned Content-Type: " + value);
      }
    }
  }
  struct stat info {};
  if (::stat(file.c_str(), &info) != 0 || info.st_size == 0) {
    throw DownloadError::invalidArtifact(path, "empty file");
  }
  const auto size = static_cast<std::int64_t>(info.st_size);
  if (const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC); fd >= 0) {
    char head[kSniffBytes];
    const ssize_t got = ::read(fd, head, sizeof head);
    ::close(fd);
    if (got > 0 && HFClient::looksLikeHTML(std::string_view(head, static_cast<std::size_t>(got)))) {
      throw DownloadError::invalidArtifact(path, "response body begins with HTML markup");
    }
  }
  if (expectedSize > 0 && expectedSize != size) {
    throw DownloadError::invalidArtifact(
        path, fmt::format("size mismatch (expected {} bytes, got {})", expectedSize, size));
  }
}

// One attempt's transfer state, shared by the transfer (calling thread), the stall timer (the
// watchdog queue) and the caller's cancellation (any thread); all meet under mutex_. Nothing is
// called out with the lock held.
class StreamingDownload : public platform::HttpStreamHandler,
                          public std::enable_shared_from_this<StreamingDownload> {
 public:
  StreamingDownload(fs::path destination, std::int64_t resumeOffset, std::string path,
                    std::int64_t minStallBytes, double stallWindow, ByteProgressCallback onProgress)
      : destination_(std::move(destination)),
        resumeOffset_(resumeOffset),
        path_(std::move(path)),
        minStallBytes_(minStallBytes),
        stallWindow_(stallWindow),
        onProgress_(std::move(onProgress)) {}

  ~StreamingDownload() override { closeFile(); }

  // Runs `request` and returns the response once the body is on disk.
  platform::HttpResponse run(const platform::HttpClient& client, const platform::HttpRequest& request,
                             const std::stop_token& callerStop) {
    std::stop_callback onCallerStop(callerStop, [this] {
      {
        std::scoped_lock lock(mutex_);
        cancelled_ = true;
      }
      taskStop_.request_stop();
    });
    attach();
    platform::HttpResponse head;
    std::exception_ptr transportError;
    try {
      head = client.stream(request, *this, taskStop_.get_token());
    } catch (...) {
      transportError = std::current_exception();
    }
    return complete(std::move(head), transportError);
  }

  bool onResponse(const platform::HttpResponse& head) override {
    if (head.statusCode <= 0) return false;
    handleValidatorFile(head);
    if (head.statusCode < 200 || head.statusCode > 299) return true;  // the status travels with the completion
    if (head.statusCode == 206) {
      const auto start = contentRangeStart(head.headers.value("Content-Range").value_or(""));
      if (start != resumeOffset_) {
        // Appending another range than asked for would corrupt the file.
        std::scoped_lock lock(mutex_);
        badRange_ = head.headers.value("Content-Range").value_or("none");
        return false;
      }
    }
    return openPartialFile(head);
  }

  bool onData(std::string_view chunk) override {
    std::int64_t written = 0;
    std::int64_t total = 0;
    {
      std::scoped_lock lock(mutex_);
      if (fd_ < 0 || writeError_) return true;  // an error status's body is let through unwritten
      if (!writeAll(chunk)) {
        writeError_ = std::make_exception_ptr(platform::FileError::fromErrno("write", destination_, errno));
        cancelled_ = true;
        return false;
      }
      bytesWritten_ += static_cast<std::int64_t>(chunk.size());
      written = bytesWritten_;
      total = expectedTotal_;
    }
    if (onProgress_) onProgress_(written, total);
    return true;
  }

  std::optional<std::string> badRange() const {
    std::scoped_lock lock(mutex_);
    return badRange_;
  }

 private:
  void attach() {
    {
      std::scoped_lock lock(mutex_);
      if (cancelled_) {
        finished_ = true;
        throw platform::CancellationError(std::make_exception_ptr(platform::TransportError(
            platform::TransportError::Code::cancelled, path_, "stopped before the transfer began")));
      }
    }
    if (minStallBytes_ < 1 || !(stallWindow_ > 0)) return;
    std::weak_ptr<StreamingDownload> weak = weak_from_this();
    auto timer = std::make_unique<platform::RepeatingTimer>(
        watchdogQueue(),
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(stallWindow_)),
        [weak] {
          if (auto self = weak.lock()) self->checkStall();
        });
    std::scoped_lock lock(mutex_);
    if (finished_) {
      timer->cancel();
    } else {
      watchdog_ = std::move(timer);
      started_ = true;
    }
  }

  void checkStall() {
    {
      std::scoped_lock lock(mutex_);
      if (finished_ || stalled_ || !started_) return;
      const std::int64_t delta = bytesWritten_ - bytesAtWindowStart_;
      bytesAtWindowStart_ = bytesWritten_;
      if (delta >= minStallBytes_) return;
      stalled_ = true;
    }
    FileDownloader::logger().warning(fmt::format("Download of {} stalled (<{} bytes in {}s); cancelling for retry.",
                                                 path_, minStallBytes_, static_cast<long long>(stallWindow_)));
    taskStop_.request_stop();
  }

  platform::HttpResponse complete(platform::HttpResponse head, const std::exception_ptr& transportError) {
    std::unique_ptr<platform::RepeatingTimer> watchdog;
    bool stalled = false;
    std::exception_ptr writeError;
    {
      std::scoped_lock lock(mutex_);
      watchdog = std::move(watchdog_);
      finished_ = true;
      closeFile();
      stalled = stalled_;
      writeError = writeError_;
    }
    if (watchdog) watchdog->cancel();
    if (stalled) throw DownloadError::stalled(path_, stallWindow_);
    if (writeError) std::rethrow_exception(writeError);
    if (badRange()) throw DownloadError::invalidArtifact(
        path_, fmt::format("server answered a resume from byte {} with Content-Range {}", resumeOffset_, *badRange()));
    if (transportError) std::rethrow_exception(transportError);
    if (head.statusCode <= 0) throw DownloadError::invalidResponse();
    return head;
  }

  void handleValidatorFile(const platform::HttpResponse& head) {
    if (head.statusCode == 206 || head.statusCode < 200 || head.statusCode > 299) return;
    const fs::path validatorPath = validatorPathOf(destination_);
    if (auto validator = resumeValidator(head)) {
      try {
        platform::writeFileAtomically(validatorPath, *validator);
      } catch (const std::exception&) {
        // Without the validator the next attempt starts from 0; nothing else is lost.
      }
    } else {
      removeIgnoringErrors(validatorPath);
    }
  }

  bool openPartialFile(const platform::HttpResponse& head) {
    const bool appending = head.statusCode == 206;
    const int fd = ::open(destination_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    const char* failed = fd < 0 ? "open" : nullptr;
    if (fd >= 0 && appending && ::lseek(fd, 0, SEEK_END) < 0) failed = "seek";
    if (fd >= 0 && !appending && ::ftruncate(fd, 0) != 0) failed = "truncate";
    if (failed != nullptr) {
      const int error = errno;
      if (fd >= 0) ::close(fd);
      std::scoped_lock lock(mutex_);
      writeError_ = std::make_exception_ptr(platform::FileError::fromErrno(failed, destination_, error));
      cancelled_ = true;
      return false;
    }
    const std::int64_t base = appending ? resumeOffset_ : 0;
    std::int64_t total = -1;
    const auto range = head.headers.value("Content-Range");
    const auto slash = range ? range->rfind('/') : std::string::npos;
    if (auto fromRange = slash != std::string::npos ? decimal(std::string_view(*range).substr(slash + 1)) : std::nullopt) {
      total = *fromRange;
    } else if (head.expectedContentLength >= 0) {
      total = base + head.expectedContentLength;
    }
    std::scoped_lock lock(mutex_);
    fd_ = fd;
    bytesWritten_ = base;
    expectedTotal_ = total;
    return true;
  }

  // REQUIRES: mutex_ held.
  bool writeAll(std::string_view chunk) {
    while (!chunk.empty()) {
      const ssize_t n = ::write(fd_, chunk.data(), chunk.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      chunk.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }

  // REQUIRES: mutex_ held, or no other thread left.
  void closeFile() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  // Constant after construction.
  const fs::path destination_;
  const std::int64_t resumeOffset_;
  const std::string path_;
  const std::int64_t minStallBytes_;
  const double stallWindow_;
  const ByteProgressCallback onProgress_;
  std::stop_source taskStop_;  // thread-safe itself

  mutable std::mutex mutex_;
  // Guarded by mutex_.
  int fd_ = -1;
  std::int64_t bytesWritten_ = 0;
  std::int64_t expectedTotal_ = -1;
  std::exception_ptr writeError_;
  bool finished_ = false;
  bool started_ = false;
  std::unique_ptr<platform::RepeatingTimer> watchdog_;
  std::int64_t bytesAtWindowStart_ = 0;
  bool stalled_ = false;
  bool cancelled_ = false;
  std::optional<std::string> badRange_;
};

struct DownloadJob {
  const platform::HttpRequest& request;
  const std::string& path;
  std::int64_t expectedSize;
  const fs::path& partial;
  const ByteProgressCallback& onProgress;
  const DownloadConfig& config;
  const platform::HttpClient& client;
  const std::stop_token& stop;

  // Where an attempt starts: a resume offset, or the finished file when the partial one is whole.
  struct Start {
    std::int64_t resumeOffset = 0;
    std::string validator;
    bool complete = false;
  };

  Start prepare(int attempt) const {
    const std::int64_t size = fileSize(partial);
    std::optional<std::string> validator;
    try {
      validator = platform::text::trimWhitespaceAndNewlines(platform::readFile(validatorPathOf(partial)));
    } catch (const std::exception&) {
    }
    if (!validator) {
      if (size >= 1) clearPartialDownload(partial);
      return {};
    }
    if (size == 0) return {};
    if (validator->empty()) {
      clearPartialDownload(partial);
      return {};
    }
    if (expectedSize < 1 || size < expectedSize) {
      FileDownloader::logger().info(fmt::format("Resuming {} from byte {} (attempt {})", path, size, attempt));
      return {size, *validator, false};
    }
    try {
      validateDownloadedArtifact(partial, nullptr, path, expectedSize);
      removeIgnoringErrors(validatorPathOf(partial));
      return {0, {}, true};
    } catch (const DownloadError&) {
      clearPartialDownload(partial);
      return {};
    }
  }

  fs::path attempt(int number) const {
    if (HFClient::offlineMode()) throw DownloadError::networkDisabled(fmt::format("download({})", path));
    const Start start = prepare(number);
    if (start.complete) return partial;
    platform::HttpRequest attemptRequest = request;
    if (start.resumeOffset > 0) {
      attemptRequest.headers.set("Range", fmt::format("bytes={}-", start.resumeOffset));
      attemptRequest.headers.set("If-Range", start.validator);
    }
    auto transfer = std::make_shared<StreamingDownload>(partial, start.resumeOffset, path, config.minStallBytes,
                                                        config.stallWindow, onProgress);
    platform::HttpResponse response;
    try {
      response = transfer->run(client, attemptRequest, stop);
    } catch (const DownloadError& error) {
      if (error.errorCase() == DownloadError::Case::invalidArtifact) clearPartialDownload(partial);
      throw;
    }
    return judge(response);
  }

  fs::path judge(const platform::HttpResponse& response) const {
    const int status = response.statusCode;
    if (status == 429 || status == 503) {
      auto limited = DownloadError::rateLimited(status, fmt::format("Rate limited while downloading {} (HTTP {})", path, status));
      if (auto delay = HFClient::retryAfter(response)) {
        throw RetryPolicy::RetryAfterHint(std::make_exception_ptr(limited), *delay);
      }
      throw limited;
    }
    if (status == 416) {
      clearPartialDownload(partial);
      throw DownloadError::invalidArtifact(path, "server rejected resume range (416)");
    }
    if (status < 200 || status > 299) {
      throw DownloadError::downloadFailed(path, std::make_exception_ptr(platform::HttpStatusError(status)));
    }
    try {
      validateDownloadedArtifact(partial, &response, path, expectedSize);
    } catch (const DownloadError&) {
      clearPartialDownload(partial);
      throw;
    }
    removeIgnoringErrors(validatorPathOf(partial));
    return partial;
  }
};

}  // namespace

const AppLogger& logger() {
  static const AppLogger instance("DownloadUtils");
  return instance;
}

fs::path download(const platform::HttpRequest& request, const std::string& path, std::int64_t expectedSize,
                  const std::optional<fs::path>& partialFileURL, const ByteProgressCallback& onProgress,
                  int maxAttempts, double minBackoff, const DownloadConfig& config,
                  const platform::HttpClient* client, std::stop_token stop) {
  const fs::path partial =
      partialFileURL ? *partialFileURL : fs::temp_directory_path() / (platform::Uuid::random().toString() + ".partial");
  const DownloadJob job{request, path, expectedSize, partial, onProgress, config,
                        client != nullptr ? *client : HFClient::session(), stop};
  return RetryPolicy::withRetry<fs::path>(
      path, maxAttempts, minBackoff, logger(), [&](int attempt) { return job.attempt(attempt); }, stop);
}

std::string fetchData(const platform::Url& url, const std::string& description, int maxAttempts, double minBackoff,
                      const platform::HttpClient* client, std::stop_token stop) {
  const auto offlineCheck = [&] {
    if (HFClient::offlineMode()) throw DownloadError::networkDisabled(fmt::format("fetchFile({})", description));
  };
  offlineCheck();
  const platform::HttpClient& session = client != nullptr ? *client : HFClient::session();
  const platform::HttpRequest request = HFClient::authorizedRequest(url, kFetchTimeoutSeconds);
  return RetryPolicy::withRetry<std::string>(
      description, maxAttempts, minBackoff, logger(),
      [&](int) {
        offlineCheck();
        platform::HttpResponse response = session.send(request, stop);
        const int status = response.statusCode;
        if (status <= 0) throw DownloadError::invalidResponse();
        if (status == 429 || status == 503) {
          auto limited = DownloadError::rateLimited(
              status, fmt::format("Rate limited while fetching {} (HTTP {})", description, status));
          if (auto delay = HFClient::retryAfter(response)) {
            throw RetryPolicy::RetryAfterHint(std::make_exception_ptr(limited), *delay);
          }
          throw limited;
        }
        if (status < 200 || status > 299) {
          throw DownloadError::downloadFailed(description, std::make_exception_ptr(platform::HttpStatusError(status)));
        }
        if (auto type = response.headers.value("Content-Type")) {
          const std::string value = lowered(*type);
          if (value.find("text/html") != std::string::npos) {
            throw DownloadError::invalidArtifact(description, "server returned Content-Type: " + value);
          }
        }
        if (response.body.empty()) throw DownloadError::invalidArtifact(description, "empty file");
        if (HFClient::looksLikeHTML(response.body)) {
          throw DownloadError::invalidArtifact(description, "response body begins with HTML markup");
        }
        return std::move(response.body);
      },
      stop);
}

}  // namespace tesselaudio::FileDownloader
