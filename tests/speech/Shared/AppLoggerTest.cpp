#include "speech/Shared/AppLogger.h"

#include <unistd.h>

#include <chrono>
#include <cctype>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "speech/Shared/LogConsole.h"
#include "tests/support/OutputCapture.h"
#include "tests/support/SystemLogCapture.h"

namespace tesselaudio {
namespace {

using platform::SystemLog::Record;
using Type = platform::SystemLog::Level;
using testsupport::OutputCapture;
using testsupport::SystemLogCapture;

// Whether `line` opens with "[HH:mm:ss.SSS] ".
bool hasTimePrefix(std::string_view line) {
  constexpr std::string_view kShape = "[00:00:00.000] ";
  if (line.size() < kShape.size()) return false;
  for (size_t i = 0; i < kShape.size(); ++i) {
    const bool ok = kShape[i] == '0' ? std::isdigit(static_cast<unsigned char>(line[i])) != 0
                                     : line[i] == kShape[i];
    if (!ok) return false;
  }
  return true;
}

// The line without its time, after checking the time's shape.
std::string withoutTime(const std::string& line) {
  EXPECT_TRUE(hasTimePrefix(line)) << line;
  return hasTimePrefix(line) ? line.substr(15) : line;
}

// Closes standard error for its lifetime.
class ClosedStandardError {
 public:
  ClosedStandardError() : saved_(dup(STDERR_FILENO)) { close(STDERR_FILENO); }
  ~ClosedStandardError() {
    dup2(saved_, STDERR_FILENO);
    close(saved_);
  }

 private:
  int saved_;
};

class AppLoggerTest : public ::testing::Test {
 protected:
  void TearDown() override {
    AppLogger::setMinimumLevel(AppLogger::Level::debug);
    AppLogger::setMirrorsToConsole(true);
    AppLogger::setDefaultSubsystem("tessel-inference");
  }

  SystemLogCapture systemLog_;
  OutputCapture stderr_{STDERR_FILENO};
};

TEST_F(AppLoggerTest, ErrorWritesOneRecordAndOneConsoleLine) {
  AppLogger("ASR").error("decoder failed");

  EXPECT_THAT(systemLog_.records(),
              ::testing::ElementsAre(Record{Type::error, "tessel-inference", "ASR", "decoder failed"}));
  EXPECT_EQ(withoutTime(stderr_.text()), "[ERROR] [TesselAudio.ASR] decoder failed\n");
}

TEST_F(AppLoggerTest, EachLevelHasItsRecordTypeAndConsoleLine) {
  struct Case {
    const char* name;
    void (AppLogger::*method)(std::string_view) const;
    Type type;
    const char* line;  // without the time; empty when nothing reaches standard error
  };
  const Case cases[] = {
      {"debug", &AppLogger::debug, Type::debug, ""},
      {"info", &AppLogger::info, Type::info, ""},
      {"notice", &AppLogger::notice, Type::notice, ""},
      {"warning", &AppLogger::warning, Type::error, "[WARN] [TesselAudio.VAD] m\n"},
      {"error", &AppLogger::error, Type::error, "[ERROR] [TesselAudio.VAD] m\n"},
      {"fault", &AppLogger::fault, Type::fault, "[FAULT] [TesselAudio.VAD] m\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SystemLogCapture records;
    OutputCapture console(STDERR_FILENO);
    (AppLogger("sub", "VAD").*c.method)("m");
    EXPECT_THAT(records.records(), ::testing::ElementsAre(Record{c.type, "sub", "VAD", "m"}));
    const std::string text = console.text();
    EXPECT_EQ(text.empty() ? text : withoutTime(text), c.line);
  }
}

TEST_F(AppLoggerTest, LevelsBelowTheMinimumProduceNothing) {
  AppLogger::setMinimumLevel(AppLogger::Level::error);
  AppLogger logger("ASR");
  logger.warning("dropped");
  logger.error("kept");

  EXPECT_THAT(systemLog_.records(),
              ::testing::ElementsAre(Record{Type::error, "tessel-inference", "ASR", "kept"}));
  EXPECT_EQ(withoutTime(stderr_.text()), "[ERROR] [TesselAudio.ASR] kept\n");
}

TEST_F(AppLoggerTest, MirrorSwitchOnlySilencesTheConsole) {
  AppLogger::setMirrorsToConsole(false);
  AppLogger logger("ASR");
  logger.warning("w");
  logger.error("e");
  logger.fault("f");

  EXPECT_EQ(systemLog_.records().size(), 3u);
  EXPECT_EQ(stderr_.text(), "");
}

TEST_F(AppLoggerTest, SettingsReadBackWhatWasSet) {
  EXPECT_EQ(AppLogger::minimumLevel(), AppLogger::Level::debug);
  EXPECT_TRUE(AppLogger::mirrorsToConsole());
  AppLogger::setMinimumLevel(AppLogger::Level::notice);
  AppLogger::setMirrorsToConsole(false);
  EXPECT_EQ(AppLogger::minimumLevel(), AppLogger::Level::notice);
  EXPECT_FALSE(AppLogger::mirrorsToConsole());
}

TEST_F(AppLoggerTest, DefaultSubsystemReachesOnlyLoggersMadeLater) {
  AppLogger before("A");
  AppLogger::setDefaultSubsystem("host-app");
  AppLogger after("B");
  before.info("1");
  after.info("2");

  EXPECT_EQ(before.subsystem(), "tessel-inference");
  EXPECT_EQ(after.subsystem(), "host-app");
  EXPECT_THAT(systemLog_.records(),
              ::testing::ElementsAre(Record{Type::info, "tessel-inference", "A", "1"},
                                     Record{Type::info, "host-app", "B", "2"}));
}

TEST_F(AppLoggerTest, LevelFromRawValue) {
  struct Case {
    int raw;
    std::optional<AppLogger::Level> level;
  };
  const Case cases[] = {{-1, std::nullopt},
                        {0, AppLogger::Level::debug},
                        {3, AppLogger::Level::warning},
                        {5, AppLogger::Level::fault},
                        {6, std::nullopt},
                        {100, std::nullopt}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.raw);
    EXPECT_EQ(AppLogger::levelFromRawValue(c.raw), c.level);
  }
  EXPECT_LT(AppLogger::Level::notice, AppLogger::Level::warning);
}

TEST_F(AppLoggerTest, MessagesAndCategoriesArePrintedUnchanged) {
  struct Case {
    const char* name;
    std::string category;
    std::string message;
    std::string line;
  };
  const Case cases[] = {
      {"empty category", "", "m", "[WARN] [TesselAudio.] m\n"},
      {"newlines", "ASR", "a\nb\n", "[WARN] [TesselAudio.ASR] a\nb\n\n"},
      {"invalid UTF-8", "ASR", "x\xff\xfey", "[WARN] [TesselAudio.ASR] x\xff\xfey\n"},
      {"percent signs", "ASR", "%s %n 100%", "[WARN] [TesselAudio.ASR] %s %n 100%\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SystemLogCapture records;
    OutputCapture console(STDERR_FILENO);
    AppLogger("sub", c.category).warning(c.message);
    EXPECT_EQ(withoutTime(console.text()), c.line);
    EXPECT_THAT(records.records(),
                ::testing::ElementsAre(Record{Type::error, "sub", c.category, c.message}));
  }
}

TEST_F(AppLoggerTest, DisabledRecordTypeStillWritesTheConsoleLine) {
  systemLog_.setEnabled(Type::error, false);
  AppLogger("ASR").error("e");

  EXPECT_TRUE(systemLog_.records().empty());
  EXPECT_EQ(withoutTime(stderr_.text()), "[ERROR] [TesselAudio.ASR] e\n");
}

TEST_F(AppLoggerTest, ConcurrentLoggersLeaveOnlyWholeLines) {
  constexpr int kThreads = 8;
  constexpr int kLinesEach = 300;
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([t] {
        AppLogger logger("T" + std::to_string(t));
        // Long enough that a torn write would show.
        const std::string body(200, static_cast<char>('a' + t));
        for (int i = 0; i < kLinesEach; ++i) logger.error(body + std::to_string(i));
      });
    }
  }
  std::istringstream lines(stderr_.text());
  std::vector<int> perThread(kThreads);
  for (std::string line; std::getline(lines, line);) {
    // "[time] [ERROR] [TesselAudio.T<t>] " then 200 copies of the thread's letter and a number.
    constexpr std::string_view kHead = "[ERROR] [TesselAudio.T";
    const std::string rest = withoutTime(line + "\n");
    ASSERT_EQ(rest.substr(0, kHead.size()), kHead) << line;
    const int t = rest[kHead.size()] - '0';
    ASSERT_TRUE(t >= 0 && t < kThreads) << line;
    const std::string expected = "] " + std::string(200, static_cast<char>('a' + t));
    ASSERT_EQ(rest.substr(kHead.size() + 1, expected.size()), expected) << line;
    const std::string number = rest.substr(kHead.size() + 1 + expected.size());
    ASSERT_TRUE(number.size() >= 2 && number.find_first_not_of("0123456789") == number.size() - 1)
        << line;
    ++perThread[t];
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(perThread[t], kLinesEach) << "thread " << t;
  EXPECT_EQ(systemLog_.records().size(), static_cast<size_t>(kThreads * kLinesEach));
}

TEST_F(AppLoggerTest, ClosedStandardErrorPrintsTheFallbackLine) {
  OutputCapture out(STDOUT_FILENO);
  {
    ClosedStandardError closed;
    AppLogger("ASR").error("lost line");
  }
  EXPECT_EQ(out.text(), "Failed to write to stderr: Bad file descriptor\n");
  EXPECT_THAT(systemLog_.records(),
              ::testing::ElementsAre(Record{Type::error, "tessel-inference", "ASR", "lost line"}));
}

TEST(LogConsoleTest, LineHasLocalTimeWithMilliseconds) {
  using namespace std::chrono;
  // Tests run with TZ=Asia/Tokyo (UTC+9, no daylight saving time).
  const auto time = sys_days{2026y / 3 / 1} + 5h + 3min + 27s + 512999us;
  EXPECT_EQ(LogConsole::line(AppLogger::Level::error, "ASR", "hello", time),
            "[14:03:27.512] [ERROR] [TesselAudio.ASR] hello\n");
  EXPECT_EQ(LogConsole::line(AppLogger::Level::warning, "", "", sys_days{2026y / 3 / 1} + 15h),
            "[00:00:00.000] [WARN] [TesselAudio.] \n");
}

TEST(LogConsoleTest, WritesTheSameLineAsTheLogger) {
  OutputCapture console(STDERR_FILENO);
  LogConsole().write(AppLogger::Level::fault, "Diarizer", "gone");
  EXPECT_EQ(withoutTime(console.text()), "[FAULT] [TesselAudio.Diarizer] gone\n");
}

TEST(LogConsoleTest, ClosedStandardErrorPrintsTheFatalLine) {
  OutputCapture out(STDOUT_FILENO);
  {
    ClosedStandardError closed;
    LogConsole().write(AppLogger::Level::error, "ASR", "lost");
  }
  EXPECT_EQ(out.text(), "Fatal: Failed to write to standard error. Underlying error: Bad file descriptor\n");
}

}  // namespace
}  // namespace tesselaudio
