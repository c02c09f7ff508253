#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "app/Model/Clock.h"
#include "app/Processing/TaskExtractor.h"

namespace veltovoice {
namespace {

TEST(TaskTimeTest, TimesThatNoRecordingHasAreLeftOut) {
  struct Case {
    const char* text;
    std::optional<double> seconds;
  };
  const Case cases[] = {
      {"1:05", 65},
      {"0:00", 0},
      {"277777:46:40", 1e9},  // the latest time still taken
      {"277777:46:41", std::nullopt},
      {"nan", std::nullopt},
      {"nan:00", std::nullopt},
      {"inf", std::nullopt},
      {"00:inf", std::nullopt},
      {"-1:00", std::nullopt},
      {"1:-30", std::nullopt},
      {"1e308", std::nullopt},
      {"1e308:00", std::nullopt},
      {"99999999:00", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(TaskExtractor::seconds(c.text), c.seconds);
  }
}

TEST(TaskTimeTest, ClockHasATextForEveryDouble) {
  struct Case {
    const char* name;
    double seconds;
    const char* text;
  };
  const Case cases[] = {
      {"not a number", std::nan(""), "\u2014"},
      {"infinity", std::numeric_limits<double>::infinity(), "\u2014"},
      {"minus infinity", -std::numeric_limits<double>::infinity(), "\u2014"},
      {"1e300", 1e300, "2562047788015215:30:07"},
      {"2^63", 9223372036854775808.0, "2562047788015215:30:07"},
      {"-1e300", -1e300, "00:00"},
      {"the largest double below 2^63", 9223372036854774784.0, "2562047788015215:13:04"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(clock(c.seconds), c.text);
  }
}

}  // namespace
}  // namespace veltovoice
