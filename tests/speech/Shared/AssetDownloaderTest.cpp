#include "speech/Shared/AssetDownloader.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>
#include <httplib.h>

#include "platform/sys/FileError.h"
#include "platform/sys/FileIO.h"
#include "platform/sys/StandardPaths.h"
#include "platform/sys/Uuid.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/SystemLogCapture.h"
#include "tests/support/TemporaryFolder.h"

namespace tesselaudio {
namespace {

namespace fs = std::filesystem;
using Kind = AssetDownloader::TransferMode::Kind;
using Level = platform::SystemLog::Level;

constexpr const char* kCategory = "AssetTest";
const std::string kAsset = "voice pack bytes, version 2";

void writeText(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << text;
}

std::vector<std::string> namesIn(const fs::path& folder) {
  std::vector<std::string> names;
  if (!fs::exists(folder)) return names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// A loopback listener that answers every connection with bytes that carry no HTTP status line.
class StatuslessServer {
 public:
  StatuslessServer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_, 8) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("cannot listen on loopback");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~StatuslessServer() {
    stopping_ = true;
    thread_.join();
    ::close(listener_);
  }
  StatuslessServer(const StatuslessServer&) = delete;
  StatuslessServer& operator=(const StatuslessServer&) = delete;

  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/asset"; }

 private:
  void serve() {
    while (!stopping_) {
      pollfd ready{listener_, POLLIN, 0};
      if (::poll(&ready, 1, 50) <= 0) continue;
      const int connection = ::accept(listener_, nullptr, nullptr);
      if (connection < 0) continue;
      std::string request;
      char buffer[1024];
      while (request.find("\r\n\r\n") == std::string::npos) {
        const ssize_t n = ::recv(connection, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        request.append(buffer, static_cast<std::size_t>(n));
      }
      const std::string answer = "raw bytes without a status line";
      [[maybe_unused]] const ssize_t sent = ::send(connection, answer.data(), answer.size(), MSG_NOSIGNAL);
      ::close(connection);
    }
  }

  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_ = false;
  std::thread thread_;
};

// A loopback asset server: /assets/voice.bin serves the asset, /status/<n> answers with status n.
// Every request is counted.
class AssetDownloaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    AppLogger::setMirrorsToConsole(false);
    // A temporary folder of this test's own: tests running beside it leave their downloads'
    // temporary files in the shared one for a moment.
    if (const char* previous = std::getenv("TMPDIR")) previousTemporary_ = previous;
    setenv("TMPDIR", scratch_.path().c_str(), 1);
    server_.server().Get("/assets/voice.bin", [this](const httplib::Request&, httplib::Response& res) {
      ++requests_;
      res.set_content(kAsset, "application/octet-stream");
    });
    server_.server().Get(R"(/status/(\d+))", [this](const httplib::Request& req, httplib::Response& res) {
      ++requests_;
      res.status = std::stoi(req.matches[1].str());
      if (res.status != 304) res.set_content("no asset here", "text/plain");
    });
  }
  void TearDown() override {
    if (previousTemporary_) setenv("TMPDIR", previousTemporary_->c_str(), 1);
    else unsetenv("TMPDIR");
    AppLogger::setMirrorsToConsole(true);
  }

  platform::Url url(const std::string& path) const { return *platform::Url::parse(server_.url(path)); }

  AssetDownloader::Descriptor voice(const fs::path& destination, bool skipIfExists, AssetDownloader::TransferMode mode,
                                    const std::string& path = "/assets/voice.bin") const {
    return AssetDownloader::Descriptor{"voice pack", url(path), destination, skipIfExists, std::move(mode)};
  }

  static AssetDownloader::TransferMode mode(Kind kind) {
    return kind == Kind::data ? AssetDownloader::TransferMode::data() : AssetDownloader::TransferMode::file();
  }

  std::vector<std::pair<Level, std::string>> lines() const {
    std::vector<std::pair<Level, std::string>> out;
    for (const auto& record : log_.records()) {
      if (record.category == kCategory) out.emplace_back(record.level, record.message);
    }
    return out;
  }

  // What the temporary folder holds besides what the test made itself.
  std::vector<std::string> temporaryLeftovers() const {
    std::vector<std::string> left;
    for (const auto& name : namesIn(platform::StandardPaths::temporaryDirectory())) {
      if (name.rfind("tesselaudio-asset-", 0) == 0) left.push_back(name);
    }
    return left;
  }

  testsupport::LoopbackServer server_;
  std::atomic<int> requests_ = 0;
  testsupport::TemporaryFolder folder_;
  testsupport::TemporaryFolder scratch_;
  std::optional<std::string> previousTemporary_;
  testsupport::SystemLogCapture log_;
  AppLogger logger_{kCategory};
};

TEST_F(AssetDownloaderTest, ExistingItemIsReturnedWithoutARequestWhenSkipping) {
  writeText(folder_ / "voice.bin", "old");
  fs::create_directories(folder_ / "voices");
  for (const Kind kind : {Kind::data, Kind::file}) {
    for (const char* name : {"voice.bin", "voices"}) {
      SCOPED_TRACE(name);
      EXPECT_EQ(AssetDownloader::ensure(voice(folder_ / name, true, mode(kind)), platform::HttpClient::shared(), logger_),
                folder_ / name);
    }
  }
  EXPECT_EQ(requests_, 0);
  EXPECT_TRUE(lines().empty());
  EXPECT_EQ(platform::readFile(folder_ / "voice.bin"), "old");
}

TEST_F(AssetDownloaderTest, FetchesAgainAndReplacesTheOldItemWhenNotSkipping) {
  struct Case {
    const char* name;
    Kind kind;
    bool oldIsFolder;
  };
  const Case cases[] = {
      {"data over a file", Kind::data, false},
      {"file over a file", Kind::file, false},
      {"file over a folder", Kind::file, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::SystemLogCapture log;
    const fs::path destination = folder_ / c.name / "voice.bin";
    if (c.oldIsFolder) {
      writeText(destination / "inner.bin", "old folder");
    } else {
      writeText(destination, "old");
    }

    EXPECT_EQ(AssetDownloader::ensure(voice(destination, false, mode(c.kind)), platform::HttpClient::shared(), logger_),
              destination);

    EXPECT_EQ(platform::readFile(destination), kAsset);
    EXPECT_EQ(namesIn(destination.parent_path()), std::vector<std::string>{"voice.bin"});
    std::vector<std::string> messages;
    for (const auto& record : log.records()) {
      if (record.category == kCategory) messages.push_back(record.message);
    }
    EXPECT_EQ(messages, (std::vector<std::string>{"Downloading voice pack\u2026",
                                                  "Cached voice pack at " + destination.string()}));
  }
  EXPECT_EQ(requests_, 3);
  EXPECT_TRUE(temporaryLeftovers().empty());
}

TEST_F(AssetDownloaderTest, CreatesMissingFoldersBeforeTheRequest) {
  const fs::path destination = folder_ / "a/b/c/voice.bin";

  AssetDownloader::ensure(voice(destination, true, mode(Kind::file)), platform::HttpClient::shared(), logger_);

  EXPECT_EQ(platform::readFile(destination), kAsset);
}

TEST_F(AssetDownloaderTest, UnsuccessfulAnswerCallsNoHandlerAndCachesNothing) {
  StatuslessServer statusless;
  struct Case {
    const char* name;
    std::string address;
    int status;
  };
  const Case cases[] = {
      {"not modified", server_.url("/status/304"), 304},
      {"not found", server_.url("/status/404"), 404},
      {"no HTTP status", statusless.url(), -1},
  };
  for (const Case& c : cases) {
    for (const Kind kind : {Kind::data, Kind::file}) {
      SCOPED_TRACE(std::string(c.name) + (kind == Kind::data ? ", data" : ", file"));
      int handled = 0;
      auto transfer = kind == Kind::data
                          ? AssetDownloader::TransferMode::data([&](std::string_view, const fs::path&) { ++handled; })
                          : AssetDownloader::TransferMode::file([&](const fs::path&, const fs::path&) { ++handled; });
      const fs::path destination = folder_ / "voice.bin";
      const AssetDownloader::Descriptor descriptor{"voice pack", *platform::Url::parse(c.address), destination, false,
                                                   transfer};
      try {
        AssetDownloader::ensure(descriptor, platform::HttpClient::shared(), logger_);
        ADD_FAILURE() << "expected invalidResponse";
      } catch (const AssetDownloader::Error& error) {
        EXPECT_EQ(error.statusCode(), c.status);
        EXPECT_EQ(error.assetDescription(), "voice pack");
        EXPECT_EQ(error.description(),
                  "Unexpected response (status " + std::to_string(c.status) + ") while downloading voice pack");
      }
      EXPECT_EQ(handled, 0);
      EXPECT_FALSE(fs::exists(destination));
    }
  }
  for (const auto& [level, message] : lines()) EXPECT_EQ(message, "Downloading voice pack\u2026");
  EXPECT_TRUE(temporaryLeftovers().empty());
}

TEST_F(AssetDownloaderTest, FailingHandlerGivesItsErrorAndNoCachedLine) {
  const fs::path destination = folder_ / "voice.bin";
  writeText(destination, "old");
  const auto refuse = [](const fs::path& at) { throw platform::FileError::fromErrno("write", at, ENOSPC); };
  const AssetDownloader::TransferMode modes[] = {
      AssetDownloader::TransferMode::data([&](std::string_view, const fs::path& at) { refuse(at); }),
      AssetDownloader::TransferMode::file([&](const fs::path&, const fs::path& at) { refuse(at); }),
  };
  for (const auto& transfer : modes) {
    try {
      AssetDownloader::ensure(voice(destination, false, transfer), platform::HttpClient::shared(), logger_);
      ADD_FAILURE() << "expected the handler's error";
    } catch (const platform::FileError& error) {
      EXPECT_EQ(error.code(), ENOSPC);
    }
  }
  EXPECT_EQ(platform::readFile(destination), "old");
  EXPECT_EQ(lines(), (std::vector<std::pair<Level, std::string>>{{Level::info, "Downloading voice pack\u2026"},
                                                                 {Level::info, "Downloading voice pack\u2026"}}));
  EXPECT_TRUE(temporaryLeftovers().empty());
}

TEST_F(AssetDownloaderTest, FolderThatCannotBeMadeFailsBeforeTheRequest) {
  writeText(folder_ / "blocker", "a file where a folder should go");

  EXPECT_THROW(AssetDownloader::ensure(voice(folder_ / "blocker/voices/voice.bin", false, mode(Kind::data)),
                                       platform::HttpClient::shared(), logger_),
               platform::FileError);

  EXPECT_EQ(requests_, 0);
  EXPECT_TRUE(lines().empty());
  EXPECT_EQ(platform::readFile(folder_ / "blocker"), "a file where a folder should go");
}

TEST_F(AssetDownloaderTest, FetchDataChecksTheStatusOnly) {
  server_.server().Get("/assets/page.html", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("<!DOCTYPE html><html></html>", "text/html");
  });
  server_.server().Get("/assets/empty", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("", "application/octet-stream");
  });

  EXPECT_EQ(AssetDownloader::fetchData(url("/assets/voice.bin"), "voice pack", platform::HttpClient::shared(), logger_),
            kAsset);
  EXPECT_EQ(AssetDownloader::fetchData(url("/assets/page.html"), "page", platform::HttpClient::shared(), logger_),
            "<!DOCTYPE html><html></html>");
  EXPECT_EQ(AssetDownloader::fetchData(url("/assets/empty"), "empty", platform::HttpClient::shared(), logger_), "");
  try {
    AssetDownloader::fetchData(url("/status/404"), "missing", platform::HttpClient::shared(), logger_);
    ADD_FAILURE() << "expected invalidResponse";
  } catch (const AssetDownloader::Error& error) {
    EXPECT_EQ(error.statusCode(), 404);
  }

  const auto logged = lines();
  ASSERT_EQ(logged.size(), 4u);
  EXPECT_EQ(logged[0], std::make_pair(Level::debug, "Fetching voice pack from " + server_.url("/assets/voice.bin")));
  EXPECT_EQ(logged[3], std::make_pair(Level::debug, "Fetching missing from " + server_.url("/status/404")));
}

TEST_F(AssetDownloaderTest, DefaultDataWriterReplacesTheFileWholeAndLeavesNothingBeside) {
  const fs::path destination = folder_ / "voice.bin";
  writeText(destination, "old");

  AssetDownloader::defaultDataWriter()(kAsset, destination);

  EXPECT_EQ(platform::readFile(destination), kAsset);
  EXPECT_EQ(namesIn(folder_.path()), std::vector<std::string>{"voice.bin"});
  EXPECT_THROW(AssetDownloader::defaultDataWriter()(kAsset, folder_ / "missing/voice.bin"), platform::FileError);
  EXPECT_FALSE(fs::exists(folder_ / "missing"));
}

TEST_F(AssetDownloaderTest, DefaultFileMoverReplacesWhatIsThere) {
  for (const bool oldIsFolder : {false, true}) {
    SCOPED_TRACE(oldIsFolder ? "folder" : "file");
    const fs::path downloaded = folder_ / "download.tmp";
    const fs::path destination = folder_ / "voice.bin";
    writeText(downloaded, kAsset);
    if (oldIsFolder) {
      writeText(destination / "inner.bin", "old");
    } else {
      writeText(destination, "old");
    }

    AssetDownloader::defaultFileMover()(downloaded, destination);

    EXPECT_EQ(platform::readFile(destination), kAsset);
    EXPECT_FALSE(fs::exists(downloaded));
    fs::remove_all(destination);
  }
}

TEST_F(AssetDownloaderTest, FailedMoveLeavesTheOldItemInPlace) {
  const fs::path destination = folder_ / "voice.bin";
  writeText(destination, "old");

  EXPECT_THROW(AssetDownloader::defaultFileMover()(folder_ / "never downloaded", destination), platform::FileError);

  EXPECT_EQ(platform::readFile(destination), "old");
  EXPECT_EQ(namesIn(folder_.path()), std::vector<std::string>{"voice.bin"});
}

TEST_F(AssetDownloaderTest, DefaultFileMoverCopiesAcrossFileSystems) {
  // /dev/shm is a memory file system on Linux, apart from the build tree's disk.
  const fs::path other = fs::path("/dev/shm") / ("veltovoice-test-" + platform::Uuid::random().toString());
  struct stat here {}, there {};
  std::error_code error;
  if (!fs::create_directory(other, error) || ::stat(folder_.path().c_str(), &here) != 0 ||
      ::stat(other.c_str(), &there) != 0 || here.st_dev == there.st_dev) {
    fs::remove_all(other, error);
    GTEST_SKIP() << "no second file system to move across";
  }
  const fs::path downloaded = other / "download.tmp";
  const fs::path destination = folder_ / "voice.bin";
  writeText(downloaded, kAsset);
  writeText(destination, "old");

  AssetDownloader::defaultFileMover()(downloaded, destination);

  EXPECT_EQ(platform::readFile(destination), kAsset);
  EXPECT_FALSE(fs::exists(downloaded));
  EXPECT_EQ(namesIn(folder_.path()), std::vector<std::string>{"voice.bin"});
  fs::remove_all(other, error);
}

}  // namespace
}  // namespace tesselaudio
