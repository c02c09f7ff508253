#include "speech/Shared/Download/FileDownloader.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "platform/net/TransportError.h"
#include "platform/sys/FileIO.h"
#include "speech/Shared/Download/DownloadError.h"
#include "speech/Shared/Download/HFClient.h"
#include "speech/Shared/Download/ModelRegistry.h"
#include "speech/Shared/Download/RetryPolicy.h"
#include "tests/support/HubFake.h"
#include "tests/support/SystemLogCapture.h"
#include "tests/support/TemporaryFolder.h"

namespace tesselaudio {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::HubFake;
using Fault = HubFake::Fault;

constexpr const char* kRepo = "org/model";
constexpr const char* kPath = "Enc.mlmodelc/weights/weight.bin";
constexpr auto kHangGuard = 20s;

std::string content(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('a' + i % 26);
  return bytes;
}

std::string strongETag(const std::string& bytes) { return "\"" + HubFake::sha256(bytes).substr(0, 16) + "\""; }

std::string fileText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A hub fake serving one 1000-byte file, the registry pointed at it, and a partial file in a
// fresh folder. Stall windows and back-offs are short so that tests run in milliseconds.
class FileDownloaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ModelRegistry::setBaseURL(hub_.baseURL());
    hub_.putFile(kRepo, "main", {kPath, bytes_, true});
    config_.minStallBytes = 0;  // watchdog off unless a test turns it on
    config_.stallWindow = 0.2;
  }

  fs::path partial() const { return folder_ / "weight.bin.partial"; }
  fs::path validator() const { return folder_ / "weight.bin.partial.etag"; }

  // Downloads into partial(), or into the downloader's own choice when `ownLocation`.
  fs::path download(int maxAttempts = 1, std::int64_t expectedSize = 1000, std::stop_token stop = {},
                    bool ownLocation = false) {
    const auto request =
        HFClient::authorizedRequest(ModelRegistry::resolveModel(kRepo, kPath, "main"), 5.0);
    return FileDownloader::download(
        request, kPath, expectedSize, ownLocation ? std::nullopt : std::optional<fs::path>(partial()),
        [this](std::int64_t written, std::int64_t total) {
          std::scoped_lock lock(mutex_);
          progress_.emplace_back(written, total);
        },
        maxAttempts, 0.01, config_, nullptr, stop);
  }

  template <class Check>
  void expectDownloadError(Check&& check, int maxAttempts = 1, std::int64_t expectedSize = 1000) {
    try {
      download(maxAttempts, expectedSize);
      ADD_FAILURE() << "no error";
    } catch (const DownloadError& error) {
      check(error);
    }
  }

  void writePartial(const std::string& bytes, const std::optional<std::string>& etag) {
    platform::writeFileAtomically(partial(), bytes);
    if (etag) platform::writeFileAtomically(validator(), *etag);
  }

  std::vector<HubFake::Request> fileRequests() const { return hub_.requests(); }

  std::vector<std::string> warnings() const {
    std::vector<std::string> out;
    for (const auto& r : log_.records()) {
      if (r.category == "DownloadUtils" && r.level != platform::SystemLog::Level::info) out.push_back(r.message);
    }
    return out;
  }

  const std::string bytes_ = content(1000);
  HubFake hub_;
  testsupport::TemporaryFolder folder_;
  testsupport::SystemLogCapture log_;
  DownloadConfig config_;
  std::mutex mutex_;
  std::vector<std::pair<std::int64_t, std::int64_t>> progress_;
};

TEST_F(FileDownloaderTest, DownloadsIntoThePartialFile) {
  EXPECT_EQ(download(), partial());
  EXPECT_EQ(fileText(partial()), bytes_);
  EXPECT_FALSE(fs::exists(validator()));  // removed once the file validated
  ASSERT_FALSE(progress_.empty());
  EXPECT_EQ(progress_.back(), std::make_pair(std::int64_t{1000}, std::int64_t{1000}));
  ASSERT_EQ(fileRequests().size(), 1u);
  EXPECT_EQ(fileRequests()[0].target, "/org/model/resolve/main/Enc.mlmodelc/weights/weight.bin");
  EXPECT_TRUE(fileRequests()[0].range.empty());
}

TEST_F(FileDownloaderTest, WithoutLocationUsesTheTemporaryFolder) {
  const fs::path file = download(1, 1000, {}, true);
  EXPECT_EQ(file.parent_path(), fs::temp_directory_path());
  EXPECT_EQ(file.extension(), ".partial");
  EXPECT_EQ(fileText(file), bytes_);
  fs::remove(file);
}

TEST_F(FileDownloaderTest, ResumesAPartialFileWithItsValidator) {
  writePartial(bytes_.substr(0, 600), strongETag(bytes_) + "\n");
  download();
  EXPECT_EQ(fileText(partial()), bytes_);
  ASSERT_EQ(fileRequests().size(), 1u);
  EXPECT_EQ(fileRequests()[0].range, "bytes=600-");
  EXPECT_EQ(fileRequests()[0].ifRange, strongETag(bytes_));
  ASSERT_FALSE(progress_.empty());
  EXPECT_GT(progress_.front().first, 600);
  EXPECT_EQ(progress_.front().second, 1000);
}

TEST_F(FileDownloaderTest, StaleValidatorRewritesFromZeroAndStoresTheNewOne) {
  writePartial(std::string(600, 'X'), std::string("\"old\""));
  hub_.failNextRequest(kRepo, kPath, Fault::afterBytes(Fault::Kind::dropAfter, 300));
  EXPECT_THROW(download(), platform::TransportError);
  EXPECT_EQ(fileText(partial()), bytes_.substr(0, 300));
  EXPECT_EQ(fileText(validator()), strongETag(bytes_));
  download();  // resumes from the rewritten bytes
  EXPECT_EQ(fileText(partial()), bytes_);
  EXPECT_EQ(fileRequests().back().range, "bytes=300-");
}

TEST_F(FileDownloaderTest, DroppedConnectionIsRetriedAndResumes) {
  hub_.failNextRequest(kRepo, kPath, Fault::afterBytes(Fault::Kind::dropAfter, 600));
  download(2);
  EXPECT_EQ(fileText(partial()), bytes_);
  const auto requests = fileRequests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].range, "bytes=600-");
  ASSERT_EQ(warnings().size(), 1u);
  EXPECT_EQ(warnings()[0].rfind("Download attempt 1 for Enc.mlmodelc/weights/weight.bin failed: The network connection was lost.", 0), 0u);
}

TEST_F(FileDownloaderTest, ValidatorsThatCannotResume) {
  struct Case {
    const char* name;
    HubFake::Validator validator;
    bool stored;
  };
  const Case cases[] = {
      {"weakETagAlone", HubFake::Validator::weakETag, false},
      {"noValidator", HubFake::Validator::none, false},
      {"lastModifiedOnly", HubFake::Validator::lastModifiedOnly, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(partial());
    fs::remove(validator());
    hub_.setValidator(c.validator);
    hub_.failNextRequest(kRepo, kPath, Fault::afterBytes(Fault::Kind::dropAfter, 500));
    EXPECT_THROW(download(), platform::TransportError);
    EXPECT_EQ(fs::exists(validator()), c.stored);
    hub_.clearRequests();
    download();
    EXPECT_EQ(fileText(partial()), bytes_);
    EXPECT_EQ(fileRequests()[0].range.empty(), !c.stored);
  }
}

TEST_F(FileDownloaderTest, ResumeStateOnDisk) {
  struct Case {
    const char* name;
    std::optional<std::string> partialBytes;
    std::optional<std::string> validatorText;
    std::int64_t expectedSize;
    std::string range;     // of the request; "none" when no request is made
    bool validatorKept;    // after the download, for the request-less case
  };
  const std::string etag = strongETag(bytes_);
  const Case cases[] = {
      {"completePartialNeedsNoRequest", bytes_, etag, 1000, "none", false},
      {"oversizedPartialStartsOver", bytes_ + "extra", etag, 1000, "", false},
      {"partialWithoutValidatorIsDiscarded", bytes_.substr(0, 600), std::nullopt, 1000, "", false},
      {"emptyValidatorDiscardsBoth", bytes_.substr(0, 600), std::string("  \n"), 1000, "", false},
      {"validatorWithoutPartialStartsAtZero", std::nullopt, etag, 1000, "", false},
      {"garbageValidatorGetsTheWholeFile", std::string(600, 'X'), std::string("junk"), 1000, "bytes=600-", false},
      {"unknownSizeResumes", bytes_.substr(0, 600), etag, 0, "bytes=600-", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(partial());
    fs::remove(validator());
    hub_.clearRequests();
    if (c.partialBytes) platform::writeFileAtomically(partial(), *c.partialBytes);
    if (c.validatorText) platform::writeFileAtomically(validator(), *c.validatorText);
    download(1, c.expectedSize);
    EXPECT_EQ(fileText(partial()), bytes_);
    EXPECT_FALSE(fs::exists(validator()));
    const auto requests = fileRequests();
    if (c.range == "none") {
      EXPECT_TRUE(requests.empty());
    } else {
      ASSERT_EQ(requests.size(), 1u);
      EXPECT_EQ(requests[0].range, c.range);
    }
  }
}

TEST_F(FileDownloaderTest, RejectedRangeRemovesBothFilesAndStartsOver) {
  writePartial(bytes_, strongETag(bytes_));
  download(2, 0);  // size unknown: the whole partial is resumed past its end
  EXPECT_EQ(fileText(partial()), bytes_);
  const auto requests = fileRequests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].range, "bytes=1000-");
  EXPECT_TRUE(requests[1].range.empty());
  EXPECT_EQ(warnings()[0],
            "Download attempt 1 for Enc.mlmodelc/weights/weight.bin failed: Downloaded artifact for "
            "Enc.mlmodelc/weights/weight.bin is invalid (server rejected resume range (416)); refusing "
            "to cache it.. Retrying in 0.0s.");
}

TEST_F(FileDownloaderTest, InvalidArtifactsAreRemoved) {
  struct Case {
    const char* name;
    std::optional<Fault> fault;
    std::int64_t expectedSize;
    std::string reason;
  };
  const Case cases[] = {
      {"htmlContentType", Fault::of(Fault::Kind::htmlContentType), 1000,
       "server returned Content-Type: text/html; charset=utf-8"},
      {"htmlBody", Fault::of(Fault::Kind::htmlBody), 0, "response body begins with HTML markup"},
      {"emptyBody", Fault::of(Fault::Kind::emptyBody), 1000, "empty file"},
      {"sizeMismatch", std::nullopt, 999, "size mismatch (expected 999 bytes, got 1000)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.fault) hub_.failNextRequest(kRepo, kPath, *c.fault);
    expectDownloadError(
        [&](const DownloadError& error) {
          EXPECT_EQ(error.errorCase(), DownloadError::Case::invalidArtifact);
          EXPECT_EQ(error.reason(), c.reason);
        },
        1, c.expectedSize);
    EXPECT_FALSE(fs::exists(partial()));
    EXPECT_FALSE(fs::exists(validator()));
  }
}

TEST_F(FileDownloaderTest, WrongContentRangeIsNeverAppended) {
  writePartial(bytes_.substr(0, 600), strongETag(bytes_));
  hub_.failNextRequest(kRepo, kPath, Fault::of(Fault::Kind::wrongContentRange));
  expectDownloadError(
      [](const DownloadError& error) {
        EXPECT_EQ(error.errorCase(), DownloadError::Case::invalidArtifact);
        EXPECT_EQ(error.reason(), "server answered a resume from byte 600 with Content-Range bytes 0-999/1000");
      },
      1, 0);
  EXPECT_FALSE(fs::exists(partial()));
  EXPECT_FALSE(fs::exists(validator()));
}

TEST_F(FileDownloaderTest, StatusFailures) {
  struct Case {
    const char* name;
    int status;
    DownloadError::Case expected;
    std::size_t requests;  // with two attempts allowed
  };
  const Case cases[] = {
      {"serverErrorIsRetried", 500, DownloadError::Case::downloadFailed, 2},
      {"notFoundIsNot", 404, DownloadError::Case::downloadFailed, 1},
      {"serviceUnavailableIsARateLimit", 503, DownloadError::Case::rateLimited, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    hub_.clearRequests();
    for (std::size_t i = 0; i < c.requests; ++i) hub_.failNextRequest(kRepo, kPath, Fault::httpStatus(c.status));
    try {
      download(2);
      ADD_FAILURE() << "no error";
    } catch (const DownloadError& error) {
      EXPECT_EQ(error.errorCase(), c.expected);
      if (c.expected == DownloadError::Case::downloadFailed) {
        ASSERT_NE(error.underlying(), nullptr);
        EXPECT_EQ(error.underlying()->domain(), "HTTP");
        EXPECT_EQ(error.underlying()->code(), c.status);
      } else {
        EXPECT_EQ(error.message(), "Rate limited while downloading Enc.mlmodelc/weights/weight.bin (HTTP 503)");
      }
    }
    EXPECT_EQ(fileRequests().size(), c.requests);
  }
}

TEST_F(FileDownloaderTest, RateLimitHonoursRetryAfter) {
  hub_.failNextRequest(kRepo, kPath, Fault::httpStatus(429, "0.1"));
  download(2);
  EXPECT_EQ(fileText(partial()), bytes_);
  ASSERT_EQ(warnings().size(), 1u);
  EXPECT_EQ(warnings()[0],
            "Download attempt 1 for Enc.mlmodelc/weights/weight.bin failed: Hugging Face rate limit "
            "encountered: Rate limited while downloading Enc.mlmodelc/weights/weight.bin (HTTP 429). "
            "Retrying in 0.1s (server Retry-After).");
}

TEST_F(FileDownloaderTest, FollowsARedirectToTheBlob) {
  hub_.failNextRequest(kRepo, kPath, Fault::of(Fault::Kind::redirectToBlob));
  download();
  EXPECT_EQ(fileText(partial()), bytes_);
  EXPECT_EQ(fileRequests().back().target, "/blobs/" + HubFake::sha256(bytes_));
}

TEST_F(FileDownloaderTest, StalledTransferKeepsItsBytesAndResumes) {
  config_.minStallBytes = 1000;
  config_.stallWindow = 0.2;
  hub_.failNextRequest(kRepo, kPath, Fault::trickling(10, 20ms));
  expectDownloadError([](const DownloadError& error) {
    EXPECT_EQ(error.errorCase(), DownloadError::Case::stalled);
    EXPECT_EQ(error.window(), 0.2);
    EXPECT_FALSE(RetryPolicy::isCancellation(error));
  });
  const auto kept = fs::file_size(partial());
  EXPECT_GT(kept, 0u);
  EXPECT_TRUE(fs::exists(validator()));
  ASSERT_EQ(warnings().size(), 1u);
  EXPECT_EQ(warnings()[0], "Download of Enc.mlmodelc/weights/weight.bin stalled (<1000 bytes in 0s); cancelling for retry.");

  // The resumed request stalls halfway through what is left, however much a slow machine kept.
  ASSERT_LT(kept, bytes_.size() - 1);
  hub_.failNextRequest(kRepo, kPath, Fault::afterBytes(Fault::Kind::stallAfter, (bytes_.size() - kept) / 2));
  download(2);
  EXPECT_EQ(fileText(partial()), bytes_);
  const auto requests = fileRequests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[1].range, "bytes=" + std::to_string(kept) + "-");
}

TEST_F(FileDownloaderTest, NoWatchdogWhenTurnedOff) {
  for (auto [bytes, window] : {std::pair<std::int64_t, double>{0, 0.05}, {1'000'000, 0.0}}) {
    SCOPED_TRACE(bytes);
    config_.minStallBytes = bytes;
    config_.stallWindow = window;
    fs::remove(partial());
    fs::remove(validator());
    hub_.failNextRequest(kRepo, kPath, Fault::trickling(100, 10ms));
    download();
    EXPECT_EQ(fileText(partial()), bytes_);
  }
}

TEST_F(FileDownloaderTest, StopEndsATransferAndKeepsThePartial) {
  hub_.failNextRequest(kRepo, kPath, Fault::afterBytes(Fault::Kind::stallAfter, 400));
  std::stop_source stop;
  auto pending = std::async(std::launch::async, [&] { download(4, 1000, stop.get_token()); });
  for (auto deadline = std::chrono::steady_clock::now() + kHangGuard;
       std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(1ms)) {
    std::scoped_lock lock(mutex_);
    if (!progress_.empty() && progress_.back().first == 400) break;
  }
  stop.request_stop();
  ASSERT_EQ(pending.wait_for(kHangGuard), std::future_status::ready);
  try {
    pending.get();
    ADD_FAILURE() << "no error";
  } catch (const std::exception& error) {
    EXPECT_TRUE(RetryPolicy::isCancellation(error)) << error.what();
  }
  EXPECT_EQ(fileText(partial()), bytes_.substr(0, 400));
  EXPECT_TRUE(fs::exists(validator()));
  EXPECT_EQ(fileRequests().size(), 1u);
}

TEST_F(FileDownloaderTest, StopBeforeStartSendsNothing) {
  std::stop_source stop;
  stop.request_stop();
  try {
    download(4, 1000, stop.get_token());
    ADD_FAILURE() << "no error";
  } catch (const std::exception& error) {
    EXPECT_TRUE(RetryPolicy::isCancellation(error));
  }
  EXPECT_TRUE(fileRequests().empty());
}

TEST_F(FileDownloaderTest, OfflineModeSendsNothing) {
  HFClient::setOfflineMode(true);
  expectDownloadError([](const DownloadError& error) {
    EXPECT_EQ(error.operation(), "download(Enc.mlmodelc/weights/weight.bin)");
  });
  try {
    FileDownloader::fetchData(ModelRegistry::resolveModel(kRepo, kPath, "main"), "vocab", 1, 0.01, nullptr, {});
    ADD_FAILURE() << "no error";
  } catch (const DownloadError& error) {
    EXPECT_EQ(error.operation(), "fetchFile(vocab)");
  }
  HFClient::setOfflineMode(false);
  EXPECT_TRUE(fileRequests().empty());
}

TEST_F(FileDownloaderTest, FetchDataJudgesTheAnswer) {
  struct Case {
    const char* name;
    std::optional<Fault> fault;
    std::optional<DownloadError::Case> expected;
    std::string text;
  };
  const Case cases[] = {
      {"body", std::nullopt, std::nullopt, ""},
      {"rateLimited", Fault::httpStatus(429), DownloadError::Case::rateLimited,
       "Rate limited while fetching vocab (HTTP 429)"},
      {"notFound", Fault::httpStatus(404), DownloadError::Case::downloadFailed,
       "Failed to download vocab: The operation couldn\u2019t be completed. (HTTP error 404.)"},
      {"htmlType", Fault::of(Fault::Kind::htmlContentType), DownloadError::Case::invalidArtifact,
       "server returned Content-Type: text/html; charset=utf-8"},
      {"empty", Fault::of(Fault::Kind::emptyBody), DownloadError::Case::invalidArtifact, "empty file"},
      {"htmlBody", Fault::of(Fault::Kind::htmlBody), DownloadError::Case::invalidArtifact,
       "response body begins with HTML markup"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.fault) hub_.failNextRequest(kRepo, kPath, *c.fault);
    try {
      const std::string body = FileDownloader::fetchData(ModelRegistry::resolveModel(kRepo, kPath, "main"),
                                                         "vocab", 1, 0.01, nullptr, {});
      EXPECT_FALSE(c.expected);
      EXPECT_EQ(body, bytes_);
    } catch (const DownloadError& error) {
      ASSERT_TRUE(c.expected) << error.what();
      EXPECT_EQ(error.errorCase(), *c.expected);
      const std::string& text = error.errorCase() == DownloadError::Case::rateLimited     ? error.message()
                                : error.errorCase() == DownloadError::Case::invalidArtifact ? error.reason()
                                                                                          : error.description();
      EXPECT_EQ(text, c.text);
    }
  }
}

TEST_F(FileDownloaderTest, TokenIsSentOnlyWhenSet) {
  FileDownloader::fetchData(ModelRegistry::resolveModel(kRepo, kPath, "main"), "vocab", 1, 0.01, nullptr, {});
  ::setenv("HUGGING_FACE_HUB_TOKEN", "hub-token", 1);
  download();
  ::unsetenv("HUGGING_FACE_HUB_TOKEN");
  const auto requests = fileRequests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_FALSE(requests[0].hasAuthorization);
  EXPECT_EQ(requests[1].authorization, "Bearer hub-token");
}

TEST(FileDownloaderProxyTest, HubRequestsGoThroughTheProxy) {
  testsupport::LoopbackServer proxy;
  std::mutex mutex;
  std::vector<std::string> targets;
  proxy.server().Get(".*", [&](const httplib::Request& req, httplib::Response& res) {
    std::scoped_lock lock(mutex);
    targets.push_back(req.target);
    res.set_content("{\"proxied\":true}", "application/json");
  });
  // Read once, when the shared client is first made.
  ::setenv("http_proxy", proxy.url().c_str(), 1);
  ModelRegistry::setBaseURL("http://hub.example.invalid");
  const std::string body = FileDownloader::fetchData(
      ModelRegistry::resolveModel(kRepo, "config.json", "main"), "config", 1, 0.01, nullptr, {});
  ::unsetenv("http_proxy");
  EXPECT_EQ(body, "{\"proxied\":true}");
  std::scoped_lock lock(mutex);
  EXPECT_EQ(targets, (std::vector<std::string>{"http://hub.example.invalid/org/model/resolve/main/config.json"}));
}

}  // namespace
}  // namespace tesselaudio
