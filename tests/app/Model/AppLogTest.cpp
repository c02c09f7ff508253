#include "app/Model/AppLog.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>
#include <system_error>
#include <thread>

#include "platform/sys/FileError.h"
#include "platform/sys/FileIO.h"
#include "tests/support/RecordingDesktop.h"
#include "tests/support/SystemLogCapture.h"
#include "tests/support/TemporaryFolder.h"

namespace veltovoice {
namespace {

using ::testing::ElementsAre;

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) result.push_back(line);
  return result;
}

// Every test runs in its own process, so the log folder, read once per process, can point into
// the test's own temporary folder.
class AppLogTest : public ::testing::Test {
 protected:
  AppLogTest() { setenv("XDG_DATA_HOME", data_.path().c_str(), 1); }

  std::filesystem::path logFolder() const { return data_ / "VeltoVoice" / "Logs"; }
  std::filesystem::path logFile() const { return logFolder() / "veltovoice.log"; }
  std::string logText() const { return platform::readFile(logFile()); }

  testsupport::TemporaryFolder data_;
};

TEST(AppLogFormatTest, LineShowsLocalTimeLevelVersionAndMessage) {
  // 2025-03-05T05:07:09.123Z
  const auto time = std::chrono::system_clock::time_point(std::chrono::milliseconds(1741151229123));
  struct Case {
    const char* zone;
    std::string_view level;
    std::string_view version;
    std::string_view message;
    const char* expected;
  };
  const Case cases[] = {
      {"Asia/Tokyo", "INFO", "1.0", "録音を開始", "2025-03-05T14:07:09.123+09:00 [INFO] v1.0 録音を開始\n"},
      {"UTC", "ERROR", "1.0", "x", "2025-03-05T05:07:09.123Z [ERROR] v1.0 x\n"},
      {"America/New_York", "INFO", "2.3.1", "x", "2025-03-05T00:07:09.123-05:00 [INFO] v2.3.1 x\n"},
      {"Asia/Kolkata", "INFO", "1.0", "x", "2025-03-05T10:37:09.123+05:30 [INFO] v1.0 x\n"},
      {"Asia/Tokyo", "INFO", "", "x", "2025-03-05T14:07:09.123+09:00 [INFO] v- x\n"},
      {"Asia/Tokyo", "INFO", "1.0", "one\ntwo", "2025-03-05T14:07:09.123+09:00 [INFO] v1.0 one\ntwo\n"},
  };
  const std::string saved = std::getenv("TZ") ? std::getenv("TZ") : "";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.zone);
    setenv("TZ", c.zone, 1);
    tzset();
    EXPECT_EQ(AppLog::formatLine(c.level, c.version, time, c.message), c.expected);
  }
  setenv("TZ", saved.c_str(), 1);
  tzset();
}

TEST_F(AppLogTest, FirstLineCreatesFolderAndFile) {
  ASSERT_FALSE(std::filesystem::exists(data_ / "VeltoVoice"));
  EXPECT_EQ(AppLog::directory(), logFolder());
  AppLog::info("起動");
  AppLog::flush();
  const std::regex line(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}\+09:00 \[INFO\] v(.*) 起動\n)");
  std::smatch match;
  const std::string text = logText();
  ASSERT_TRUE(std::regex_match(text, match, line)) << text;
  EXPECT_EQ(match[1], VELTO_VERSION);
  EXPECT_EQ(AppLog::version(), VELTO_VERSION);
}

TEST_F(AppLogTest, LinesFromManyThreadsStayWholeAndInCallOrder) {
  constexpr int kThreads = 8;
  constexpr int kLines = 200;
  std::mutex order;  // makes the order of the calls known
  int next = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kLines; ++i) {
        std::scoped_lock lock(order);
        AppLog::info("line " + std::to_string(next++) + std::string(100, 'x'));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  AppLog::flush();
  const auto written = lines(logText());
  ASSERT_EQ(written.size(), std::size_t{kThreads * kLines});
  const std::regex shape(R"(\S+ \[INFO\] v\S+ line (\d+)x{100})");
  for (std::size_t i = 0; i < written.size(); ++i) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(written[i], match, shape)) << written[i];
    ASSERT_EQ(std::stoul(match[1]), i);
  }
}

TEST_F(AppLogTest, RotatesOnlyPastTwoMillionBytes) {
  std::filesystem::create_directories(logFolder());
  std::ofstream(logFile(), std::ios::binary) << std::string(2'000'000, 'a');
  std::ofstream(logFolder() / "veltovoice.1.log", std::ios::binary) << "older generation\n";

  AppLog::info("first");
  AppLog::flush();
  EXPECT_EQ(std::filesystem::file_size(logFile()) > 2'000'000, true);
  EXPECT_EQ(platform::readFile(logFolder() / "veltovoice.1.log"), "older generation\n");

  const std::string before = logText();
  AppLog::error("second");
  AppLog::flush();
  EXPECT_EQ(platform::readFile(logFolder() / "veltovoice.1.log"), before);
  EXPECT_THAT(lines(logText()), ElementsAre(::testing::HasSubstr("[ERROR] v")));
  EXPECT_THAT(logText(), ::testing::EndsWith(" second\n"));
}

TEST_F(AppLogTest, LostLinesDoNotStopLaterOnes) {
  std::filesystem::create_directories(logFolder().parent_path());
  std::ofstream(logFolder()) << "a file where the folder belongs";
  AppLog::info("lost");
  AppLog::flush();
  EXPECT_TRUE(std::filesystem::is_regular_file(logFolder()));

  std::filesystem::remove(logFolder());
  const std::string big(1'000'000, 'm');
  AppLog::info("kept");
  AppLog::info(big);
  AppLog::flush();
  const auto written = lines(logText());
  ASSERT_EQ(written.size(), 2u);
  EXPECT_THAT(written[0], ::testing::EndsWith(" kept"));
  EXPECT_THAT(written[1], ::testing::EndsWith(" " + big));
}

TEST_F(AppLogTest, MessagesReachTheSystemLog) {
  testsupport::SystemLogCapture capture;
  AppLog::info("情報 100%s");
  AppLog::error("失敗");
  using platform::SystemLog::Level;
  using platform::SystemLog::Record;
  EXPECT_THAT(capture.records(),
              ElementsAre(Record{Level::info, "velto-voice-app", "app", "情報 100%s"},
                          Record{Level::error, "velto-voice-app", "app", "失敗"}));
}

TEST_F(AppLogTest, RevealOpensTheFolderUntilThereIsAFile) {
  testsupport::RecordingDesktop desktop;
  AppLog::reveal(desktop);
  EXPECT_TRUE(std::filesystem::is_directory(logFolder()));
  AppLog::info("x");
  AppLog::flush();
  AppLog::reveal(desktop);
  EXPECT_THAT(desktop.calls, ElementsAre("open " + logFolder().string(), "show " + logFile().string()));
}

TEST(AppLogDescribeTest, GivesTypeDomainCodeAndDescription) {
  EXPECT_EQ(AppLog::describe(platform::FileError::fromErrno("open", "/x/y.json", ENOENT)),
            "FileError POSIX#2: cannot open '/x/y.json': No such file or directory");
  EXPECT_EQ(AppLog::describe(std::system_error(EACCES, std::generic_category(), "bind")),
            "std::system_error generic#13: bind: Permission denied");
  EXPECT_EQ(AppLog::describe(std::runtime_error("boom")), "std::runtime_error std#0: boom");
}

}  // namespace
}  // namespace veltovoice
