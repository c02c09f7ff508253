#include "speech/Shared/Download/ModelHub.h"

#include <algorithm>
#include <condition_variable>
#include <fstream>
#include <future>
#include <mutex>
#include <set>

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/sys/CancellationError.h"
#include "platform/sys/FileIO.h"
#include "speech/Shared/Download/DownloadError.h"
#include "speech/Shared/Download/ModelCache.h"
#include "speech/Shared/Download/ModelRegistry.h"
#include "tests/support/HubFake.h"
#include "tests/support/SystemLogCapture.h"
#include "tests/support/TemporaryFolder.h"

namespace tesselaudio {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::HubFake;

constexpr const char* kRepo = "TesselInference/diar-streaming-sortformer-coreml";
constexpr const char* kPinned = "0123456789abcdef0123456789abcdef01234567";
// A guard for waits on the other side of a loopback connection; reached only when a test fails.
constexpr auto kGuard = 20s;

std::string bytesOf(std::size_t size, char seed) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(seed + static_cast<char>(i % 61));
  return bytes;
}

void writeText(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << text;
}

// The paths of the file requests the fake saw, in arrival order.
std::vector<std::string> fileRequests(const HubFake& hub) {
  std::vector<std::string> paths;
  for (const auto& request : hub.requests()) {
    const auto at = request.target.find("/resolve/");
    if (at == std::string::npos) continue;
    const std::string rest = request.target.substr(at + 9);
    paths.push_back(rest.substr(rest.find('/') + 1));
  }
  return paths;
}

std::vector<std::string> treeRequests(const HubFake& hub) {
  std::vector<std::string> targets;
  for (const auto& request : hub.requests()) {
    if (request.target.find("/tree/") != std::string::npos) targets.push_back(request.target);
  }
  return targets;
}

// Every report a download made, safe to fill from its file tasks.
class ProgressLog {
 public:
  ProgressHandler handler() {
    return [this](const DownloadProgress& progress) {
      std::scoped_lock lock(mutex_);
      reports_.push_back(progress);
      changed_.notify_all();
    };
  }
  std::vector<DownloadProgress> reports() const {
    std::scoped_lock lock(mutex_);
    return reports_;
  }
  bool waitUntil(double fraction) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kGuard, [&] {
      return !reports_.empty() && reports_.back().phase.kind == DownloadPhase::Kind::downloading &&
             reports_.back().fractionCompleted >= fraction;
    });
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<DownloadProgress> reports_;
};

// A hub fake holding one repository at "main", a base folder `to` inside the test's temporary
// folder, and a capture of the log.
class ModelHubSubdirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ModelRegistry::setBaseURL(hub_.baseURL());
    ModelRegistry::setRevisionOverrides({});
    ModelHub::setOfflineMode(false);
    AppLogger::setMirrorsToConsole(false);
  }

  void TearDown() override {
    ModelHub::setOfflineMode(false);
    ModelRegistry::setRevisionOverrides({});
    AppLogger::setMirrorsToConsole(true);
  }

  fs::path to() const { return scratch_.path() / "mirror"; }

  void publish(const std::string& path, const std::string& bytes, const std::string& revision = "main") {
    hub_.putFile(kRepo, revision, {path, bytes, false});
  }

  // Publishes sub/f00 ... as small files and returns their paths in listing order.
  std::vector<std::string> publishFiles(std::size_t count, std::size_t size = 100) {
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < count; ++i) {
      paths.push_back(fmt::format("sub/f{:02}.bin", i));
      publish(paths.back(), bytesOf(size, static_cast<char>('a' + i)));
    }
    return paths;
  }

  void download(const std::string& subdirectory, std::int64_t maxConcurrentFiles,
                const ProgressHandler& progress = {}, const ModelHub::ShouldSkip& skip = {},
                std::stop_token stop = {}) {
    DownloadConfig config;
    config.maxConcurrentFiles = maxConcurrentFiles;
    ModelHub::download(Repo::sortformer, subdirectory, to(), config, progress, skip, std::move(stop));
  }

  std::vector<std::string> messages() const {
    std::vector<std::string> out;
    for (const auto& record : log_.records()) {
      if (record.category == "DownloadUtils") out.push_back(record.message);
    }
    return out;
  }

  HubFake hub_{16};
  testsupport::TemporaryFolder scratch_;
  testsupport::SystemLogCapture log_;
};

TEST_F(ModelHubSubdirectoryTest, FilesOfAWindowAreInFlightTogether) {
  const auto paths = publishFiles(3);
  hub_.holdFileRequests(3, kGuard);

  download("sub", 4);

  EXPECT_FALSE(hub_.holdTimedOut()) << "the three requests never were in flight at once";
  for (std::size_t i = 0; i < paths.size(); ++i) {
    EXPECT_EQ(platform::readFile(to() / paths[i]), bytesOf(100, static_cast<char>('a' + i)));
  }
}

TEST_F(ModelHubSubdirectoryTest, WindowBelowOneFetchesOneFileAtATime) {
  const auto paths = publishFiles(4);
  for (const std::int64_t window : {0, -3}) {
    SCOPED_TRACE(window);
    fs::remove_all(to());
    hub_.clearRequests();
    const std::size_t before = hub_.fileRequestCount();
    // At the k-th finished file the fake must have seen k file requests, never one more.
    std::vector<std::pair<std::int64_t, std::size_t>> seen;
    std::int64_t lastCompleted = 0;
    download("sub", window, [&](const DownloadProgress& progress) {
      if (progress.phase.kind != DownloadPhase::Kind::downloading) return;
      if (progress.phase.completedFiles == lastCompleted) return;
      lastCompleted = progress.phase.completedFiles;
      seen.emplace_back(lastCompleted, hub_.fileRequestCount() - before);
    });

    EXPECT_EQ(fileRequests(hub_), paths);
    ASSERT_EQ(seen.size(), paths.size());
    for (const auto& [completed, requests] : seen) {
      EXPECT_EQ(requests, static_cast<std::size_t>(completed));
    }
  }
}

TEST_F(ModelHubSubdirectoryTest, EachFinishedFileStartsTheNextInListOrder) {
  const auto paths = publishFiles(4);
  hub_.holdFile(kRepo, paths[0]);

  auto running = std::async(std::launch::async, [&] { download("sub", 2); });
  // With the first file held, the others pass one by one through the second slot.
  const bool allStarted = hub_.waitForFileRequests(4, kGuard);
  hub_.releaseFile(kRepo, paths[0]);
  running.get();

  EXPECT_TRUE(allStarted);
  const auto order = fileRequests(hub_);
  ASSERT_EQ(order.size(), 4u);
  EXPECT_EQ(std::set<std::string>(order.begin(), order.begin() + 2), std::set<std::string>(paths.begin(), paths.begin() + 2));
  EXPECT_EQ(order[2], paths[2]);
  EXPECT_EQ(order[3], paths[3]);
  EXPECT_TRUE(fs::exists(to() / paths[0]));
}

TEST_F(ModelHubSubdirectoryTest, SkippedFolderIsNeitherListedNorFetched) {
  publish("sub/keep.bin", "keep");
  publish("sub/skip/x.bin", "x");
  publish("sub/skip/deeper/y.bin", "y");
  std::vector<std::string> asked;
  std::mutex mutex;

  download("sub", 4, {}, [&](const std::string& path) {
    std::scoped_lock lock(mutex);
    asked.push_back(path);
    return path == "sub/skip";
  });

  EXPECT_EQ(fileRequests(hub_), std::vector<std::string>{"sub/keep.bin"});
  for (const auto& target : treeRequests(hub_)) EXPECT_EQ(target.find("skip"), std::string::npos) << target;
  EXPECT_TRUE(fs::exists(to() / "sub/keep.bin"));
  EXPECT_FALSE(fs::exists(to() / "sub/skip"));
  EXPECT_NE(std::find(asked.begin(), asked.end(), "sub/skip"), asked.end());
}

TEST_F(ModelHubSubdirectoryTest, ProgressCountsPresentAndEmptyFilesWithTheirListedSizes) {
  publish("sub/present.bin", bytesOf(1000, 'p'));
  publish("sub/empty.bin", "");
  publish("sub/one.bin", bytesOf(50'000, 'o'));
  publish("sub/two.bin", bytesOf(70'000, 't'));
  writeText(to() / "sub/present.bin", "kept as it is");
  ProgressLog progress;

  download("sub", 4, progress.handler());

  const auto reports = progress.reports();
  ASSERT_GE(reports.size(), 6u);
  EXPECT_EQ(reports[0], (DownloadProgress{0.0, DownloadPhase::listing()}));
  EXPECT_EQ(reports[1], (DownloadProgress{0.0, DownloadPhase::downloading(0, 4)}));
  for (std::size_t i = 2; i < reports.size(); ++i) {
    EXPECT_EQ(reports[i].phase.kind, DownloadPhase::Kind::downloading);
    EXPECT_GE(reports[i].fractionCompleted, reports[i - 1].fractionCompleted) << "report " << i;
  }
  EXPECT_EQ(reports.back(), (DownloadProgress{1.0, DownloadPhase::downloading(4, 4)}));

  auto requested = fileRequests(hub_);
  std::sort(requested.begin(), requested.end());
  EXPECT_EQ(requested, (std::vector<std::string>{"sub/one.bin", "sub/two.bin"}));
  EXPECT_EQ(platform::readFile(to() / "sub/present.bin"), "kept as it is");
  EXPECT_EQ(fs::file_size(to() / "sub/empty.bin"), 0u);
  EXPECT_EQ(platform::readFile(to() / "sub/two.bin"), bytesOf(70'000, 't'));
}

TEST_F(ModelHubSubdirectoryTest, EmptyFolderReportsDoneAtOnce) {
  publish("other/file.bin", "elsewhere");
  ProgressLog progress;

  download("sub", 4, progress.handler());

  EXPECT_EQ(progress.reports(), (std::vector<DownloadProgress>{{0.0, DownloadPhase::listing()},
                                                               {1.0, DownloadPhase::downloading(0, 0)}}));
  EXPECT_EQ(messages(), (std::vector<std::string>{"Found 0 files in sub", "Downloaded sub from sortformer"}));
  EXPECT_TRUE(fileRequests(hub_).empty());
}

TEST_F(ModelHubSubdirectoryTest, LogsEveryFifthFileAndTheLast) {
  publishFiles(12);

  download("sub", 4);

  std::multiset<std::string> counted;
  for (const auto& message : messages()) {
    if (message.find("/12 sub files") != std::string::npos) counted.insert(message);
  }
  EXPECT_EQ(counted, (std::multiset<std::string>{"Downloaded 5/12 sub files", "Downloaded 10/12 sub files",
                                                 "Downloaded 12/12 sub files"}));
  const auto all = messages();
  EXPECT_EQ(all.front(), "Found 12 files in sub");
  EXPECT_EQ(all.back(), "Downloaded sub from sortformer");
}

TEST_F(ModelHubSubdirectoryTest, AdoptsAnOlderUnmarkedFolderWithoutListingTheRoot) {
  ModelRegistry::setRevisionOverrides({{kRepo, kPinned}});
  publish("sub/keep.bin", "same bytes", kPinned);
  publish("sub/new.bin", "new bytes", kPinned);
  publish("config.json", "{}", kPinned);
  writeText(to() / "sub/keep.bin", "same bytes");
  writeText(to() / "sub/stale.bin", "not listed any more");

  download("sub", 4);

  EXPECT_EQ(fileRequests(hub_), std::vector<std::string>{"sub/new.bin"});
  EXPECT_EQ(platform::readFile(to() / "sub/keep.bin"), "same bytes");
  EXPECT_FALSE(fs::exists(to() / "sub/stale.bin"));
  EXPECT_FALSE(fs::exists(to() / "config.json"));
  EXPECT_EQ(platform::readFile(to() / "sub" / ModelCache::kRevisionMarkerName), std::string(kPinned) + "\n");
  const std::string root = fmt::format("/api/models/{}/tree/{}", kRepo, kPinned);
  for (const auto& target : treeRequests(hub_)) {
    EXPECT_EQ(target.rfind(root + "/sub", 0), 0u) << target;
  }
}

TEST_F(ModelHubSubdirectoryTest, OfflineFailsBeforeAnyRequest) {
  publishFiles(2);
  ModelHub::setOfflineMode(true);

  try {
    download("sub", 4);
    FAIL() << "expected networkDisabled";
  } catch (const DownloadError& error) {
    EXPECT_EQ(error.errorCase(), DownloadError::Case::networkDisabled);
    EXPECT_EQ(error.operation(), "download(sortformer/sub)");
  }
  EXPECT_TRUE(hub_.requests().empty());
  EXPECT_FALSE(fs::exists(to()));
}

TEST_F(ModelHubSubdirectoryTest, FailedFileStopsTheOthersAndKeepsTheirPartialFiles) {
  publish("sub/a.bin", bytesOf(1000, 'a'));
  publish("sub/b.bin", bytesOf(100'000, 'b'));
  publish("sub/c.bin", bytesOf(100'000, 'c'));
  hub_.holdFile(kRepo, "sub/a.bin");
  hub_.failNextRequest(kRepo, "sub/a.bin", HubFake::Fault::httpStatus(404));
  hub_.failNextRequest(kRepo, "sub/b.bin", HubFake::Fault::afterBytes(HubFake::Fault::Kind::stallAfter, 40'000));
  hub_.failNextRequest(kRepo, "sub/c.bin", HubFake::Fault::afterBytes(HubFake::Fault::Kind::stallAfter, 40'000));
  ProgressLog progress;

  auto running = std::async(std::launch::async, [&] { download("sub", 4, progress.handler()); });
  // b and c have written their first bytes to disk; only then does a get its 404.
  const bool bothWrote = progress.waitUntil(80'000.0 / 201'000.0);
  hub_.releaseFile(kRepo, "sub/a.bin");

  EXPECT_TRUE(bothWrote);
  try {
    running.get();
    FAIL() << "expected the failed file's error";
  } catch (const DownloadError& error) {
    EXPECT_EQ(error.errorCase(), DownloadError::Case::downloadFailed);
    EXPECT_EQ(error.path(), "sub/a.bin");
  }
  for (const char* name : {"sub/b.bin.partial", "sub/c.bin.partial"}) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(fs::exists(to() / name));
    EXPECT_EQ(fs::file_size(to() / name), 40'000u);
  }
  EXPECT_FALSE(fs::exists(to() / "sub/a.bin"));
  EXPECT_FALSE(fs::exists(to() / "sub/b.bin"));
  EXPECT_EQ(fileRequests(hub_).size(), 3u);
}

TEST_F(ModelHubSubdirectoryTest, CallerStopEndsEveryFile) {
  publish("sub/a.bin", bytesOf(100'000, 'a'));
  publish("sub/b.bin", bytesOf(100'000, 'b'));
  hub_.failNextRequest(kRepo, "sub/a.bin", HubFake::Fault::afterBytes(HubFake::Fault::Kind::stallAfter, 10'000));
  hub_.failNextRequest(kRepo, "sub/b.bin", HubFake::Fault::afterBytes(HubFake::Fault::Kind::stallAfter, 10'000));
  ProgressLog progress;
  std::stop_source stop;

  auto running = std::async(std::launch::async, [&] { download("sub", 4, progress.handler(), {}, stop.get_token()); });
  ASSERT_TRUE(progress.waitUntil(20'000.0 / 200'000.0));
  stop.request_stop();

  EXPECT_THROW(running.get(), platform::CancellationError);
  EXPECT_TRUE(fs::exists(to() / "sub/a.bin.partial"));
  EXPECT_FALSE(fs::exists(to() / "sub/a.bin"));
}

// Nothing may be written or removed outside `to`, whatever the caller or the listing names.
TEST_F(ModelHubSubdirectoryTest, PathsOutsideTheBaseFailBeforeAnyFileWork) {
  struct Case {
    const char* name;
    const char* subdirectory;
    const char* rawEntry;  // an extra listing entry of "sub", or null
    bool listed;           // whether the listing is asked for at all
  };
  const Case cases[] = {
      {"parent subdirectory", "../outside", nullptr, false},
      {"absolute subdirectory", "/outside", nullptr, false},
      {"subdirectory climbing back out", "sub/../../outside", nullptr, false},
      {"entry climbing out", "sub", "sub/../../evil.bin", true},
      {"absolute entry", "sub", "/evil.bin", true},
      {"entry with an empty part", "sub", "sub//evil.bin", true},
  };
  publish("sub/fine.bin", "fine");
  writeText(scratch_.path() / "outside/precious.bin", "precious");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HubFake hub;
    hub.putFile(kRepo, "main", {"sub/fine.bin", "fine", false});
    if (c.rawEntry != nullptr) {
      hub.addRawEntries(kRepo, "sub", nlohmann::json::array({{{"type", "file"}, {"path", c.rawEntry}, {"size", 4}}}));
    }
    ModelRegistry::setBaseURL(hub.baseURL());
    try {
      download(c.subdirectory, 4);
      ADD_FAILURE() << "expected invalidResponse";
    } catch (const DownloadError& error) {
      EXPECT_EQ(error.errorCase(), DownloadError::Case::invalidResponse);
    }
    EXPECT_EQ(treeRequests(hub).empty(), !c.listed);
    EXPECT_TRUE(fileRequests(hub).empty());
    EXPECT_FALSE(fs::exists(to()));
    EXPECT_EQ(platform::readFile(scratch_.path() / "outside/precious.bin"), "precious");
    std::vector<std::string> top;
    for (const auto& entry : fs::directory_iterator(scratch_.path())) top.push_back(entry.path().filename().string());
    EXPECT_EQ(top, std::vector<std::string>{"outside"});
  }
}

}  // namespace
}  // namespace tesselaudio
