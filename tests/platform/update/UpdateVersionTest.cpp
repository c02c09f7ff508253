#include "platform/update/UpdateVersion.h"

#include <string>

#include <gtest/gtest.h>

namespace platform {
namespace {

TEST(UpdateVersionTest, ComparesPartsNumerically) {
  struct Case {
    const char* a;
    const char* b;
    int order;
  };
  const Case cases[] = {
      {"1.10", "1.9", 1},        {"1.9", "1.10", -1},     {"42", "42", 0},
      {"1.0", "1", 0},           {"1.0.1", "1", 1},       {"007", "7", 0},
      {"2", "10", -1},           {"1.2.3", "1.2.4", -1},  {"99999999999999999999999", "99999999999999999999998", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
    const int order = UpdateVersion::compare(c.a, c.b);
    EXPECT_EQ((order > 0) - (order < 0), c.order);
  }
}

TEST(UpdateVersionTest, AcceptsOnlyDottedDigitsOfBoundedLength) {
  for (const char* valid : {"1", "1.2.3", "0042"}) EXPECT_TRUE(UpdateVersion::isValid(valid)) << valid;
  for (const char* invalid : {"", ".", "1.", ".1", "1..2", "1.2a", "-1", " 1", "1.2.3-beta"}) {
    EXPECT_FALSE(UpdateVersion::isValid(invalid)) << invalid;
  }
  EXPECT_TRUE(UpdateVersion::isValid(std::string(UpdateVersion::kMaxVersionLength, '9')));
  EXPECT_FALSE(UpdateVersion::isValid(std::string(UpdateVersion::kMaxVersionLength + 1, '9')));
}

}  // namespace
}  // namespace platform
