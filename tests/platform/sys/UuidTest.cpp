#include "platform/sys/Uuid.h"

#include <unordered_set>

#include <gtest/gtest.h>

namespace platform {
namespace {

TEST(UuidTest, RandomIdentifiersAreVersionFourAndDistinct) {
  std::unordered_set<Uuid> seen;
  for (int i = 0; i < 100; ++i) {
    Uuid id = Uuid::random();
    EXPECT_FALSE(id.isNil());
    EXPECT_EQ(id.bytes()[6] >> 4, 4);
    EXPECT_EQ(id.bytes()[8] >> 6, 2);
    EXPECT_TRUE(seen.insert(id).second);
  }
}

TEST(UuidTest, TextIsUpperCaseAndReadsBackInEitherCase) {
  auto id = Uuid::fromString("0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d");
  ASSERT_TRUE(id);
  EXPECT_EQ(id->toString(), "0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D");
  EXPECT_EQ(Uuid::fromString(id->toString()), id);
  EXPECT_TRUE(Uuid().isNil());
}

TEST(UuidTest, RejectsMalformedText) {
  const char* cases[] = {
      "",
      "0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4",     // one digit short
      "0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d0",   // one digit long
      "0a1b2c3d_4e5f-4a6b-8c7d-9e0f1a2b3c4d",    // wrong separator
      "0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4g",    // not hexadecimal
  };
  for (const char* text : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(Uuid::fromString(text), std::nullopt);
  }
}

}  // namespace
}  // namespace platform
