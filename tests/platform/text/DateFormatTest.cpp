#include "platform/text/DateFormat.h"

#include <gtest/gtest.h>

namespace platform::text {
namespace {

// 2025-03-03 09:05:07 in Tokyo (the tests run with TZ=Asia/Tokyo).
constexpr double kMarch3 = 1740960307.0;

TEST(DateFormatTest, StandardStylesInTheLocale) {
  struct Case {
    const char* name;
    DateStyle date;
    TimeStyle time;
    const char* locale;
    const char* expected;
  };
  const Case cases[] = {
      {"abbreviated date, shortened time", DateStyle::abbreviated, TimeStyle::shortened, "ja_JP", "2025/03/03 9:05"},
      {"numeric date", DateStyle::numeric, TimeStyle::omitted, "ja_JP", "2025/03/03"},
      {"long date", DateStyle::long_, TimeStyle::omitted, "ja_JP", "2025年3月3日"},
      {"complete date", DateStyle::complete, TimeStyle::omitted, "ja_JP", "2025年3月3日月曜日"},
      {"standard time", DateStyle::omitted, TimeStyle::standard, "ja_JP", "9:05:07"},
      {"abbreviated date elsewhere", DateStyle::abbreviated, TimeStyle::omitted, "en_US", "Mar 3, 2025"},
      {"nothing", DateStyle::omitted, TimeStyle::omitted, "ja_JP", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(formatDateStyle(kMarch3, c.date, c.time, c.locale), c.expected);
  }
}

}  // namespace
}  // namespace platform::text
