#include "platform/sys/SystemLog.h"

#include <syslog.h>

#include <gtest/gtest.h>

#include "tests/support/SystemLogCapture.h"

namespace platform {
namespace {

TEST(SystemLogTest, SyslogSinkFollowsTheLogMask) {
  const auto sink = SystemLog::makeSyslogSink();
  const int old = setlogmask(LOG_UPTO(LOG_ERR));
  EXPECT_FALSE(sink->isEnabled(SystemLog::Level::debug));
  EXPECT_FALSE(sink->isEnabled(SystemLog::Level::notice));
  EXPECT_FALSE(sink->isEnabled(SystemLog::Level::warning));
  EXPECT_TRUE(sink->isEnabled(SystemLog::Level::error));
  EXPECT_TRUE(sink->isEnabled(SystemLog::Level::fault));
  setlogmask(LOG_MASK(LOG_DEBUG));
  EXPECT_TRUE(sink->isEnabled(SystemLog::Level::debug));
  EXPECT_FALSE(sink->isEnabled(SystemLog::Level::fault));
  setlogmask(old);
}

TEST(SystemLogTest, CaptureReplacesTheSinkAndGivesItBack) {
  const auto original = SystemLog::sink();
  {
    testsupport::SystemLogCapture capture;
    EXPECT_NE(SystemLog::sink(), original);
    SystemLog::write(SystemLog::Level::fault, "sub", "cat", "100% gone");
    EXPECT_EQ(capture.records(),
              (std::vector<SystemLog::Record>{{SystemLog::Level::fault, "sub", "cat", "100% gone"}}));
  }
  EXPECT_EQ(SystemLog::sink(), original);
}

TEST(SystemLogTest, NullSinkPutsSyslogBack) {
  const auto previous = SystemLog::replaceSink(nullptr);
  const int old = setlogmask(LOG_MASK(LOG_INFO));
  EXPECT_TRUE(SystemLog::isEnabled(SystemLog::Level::info));
  EXPECT_FALSE(SystemLog::isEnabled(SystemLog::Level::error));
  setlogmask(old);
  SystemLog::replaceSink(previous);
}

}  // namespace
}  // namespace platform
