#include "platform/text/Normalization.h"

#include <gtest/gtest.h>

namespace platform::text {
namespace {

TEST(NormalizationTest, ComposesCanonicallyEquivalentText) {
  EXPECT_EQ(toNfc("cafe\u0301"), "caf\u00E9");
  EXPECT_EQ(toNfc("caf\u00E9"), "caf\u00E9");
  EXPECT_EQ(toNfc("\uFB01"), "\uFB01");  // compatibility forms stay
  EXPECT_EQ(toNfc(""), "");
  EXPECT_EQ(toNfc("a\xFF"), "a\uFFFD");
}

}  // namespace
}  // namespace platform::text
