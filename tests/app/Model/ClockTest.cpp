#include "app/Model/Clock.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

namespace veltovoice {
namespace {

TEST(ClockTest, FormatsRecordingPositions) {
  struct Case {
    const char* name;
    double seconds;
    const char* text;
  };
  const Case cases[] = {
      {"zero", 0, "00:00"},
      {"cutNotRounded", 59.999, "00:59"},
      {"lastMinuteForm", 3599.9, "59:59"},
      {"firstHourForm", 3600, "1:00:00"},
      {"hoursMinutesSeconds", 3661, "1:01:01"},
      {"tenHoursUnpadded", 36000, "10:00:00"},
      {"beyondADay", 90061, "25:01:01"},
      {"negative", -5, "00:00"},
      {"negativeFraction", -0.5, "00:00"},
      {"notANumber", std::nan(""), "\u2014"},
      {"infinity", std::numeric_limits<double>::infinity(), "\u2014"},
      {"minusInfinity", -std::numeric_limits<double>::infinity(), "\u2014"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(clock(c.seconds), c.text);
  }
}

}  // namespace
}  // namespace veltovoice
