#include "platform/text/Scalars.h"

#include <gtest/gtest.h>

namespace platform::text {
namespace {

TEST(ScalarsTest, DecodesWellFormedTextOnly) {
  EXPECT_EQ(unicodeScalars(""), std::u32string());
  EXPECT_EQ(unicodeScalars("a\u00E9\u65E5\U0001F600"), std::u32string(U"a\u00E9\u65E5\U0001F600"));
  for (const char* bad : {"\xFF", "a\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80"}) {
    EXPECT_EQ(unicodeScalars(bad), std::nullopt) << bad;
  }
}

}  // namespace
}  // namespace platform::text
