#include "platform/text/Scalars.h"

#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "platform/text/Graphemes.h"

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

namespace platform::text {
namespace {

TEST(ScalarsTest, RepairedUtf8ReplacesOnlyIllFormedSequences) {
  struct Case {
    const char* name;
    std::string input;
    std::optional<std::string> expected;  // nullopt: only well-formedness is checked
  };
  const Case cases[] = {
      {"wellFormed", "a\u00E9\u65E5", "a\u00E9\u65E5"},
      {"strayContinuation", "a\x80" "b", "a\uFFFD" "b"},
      {"truncatedAtEnd", "\u65E5\xE6\x97", "\u65E5\uFFFD"},
      {"surrogate", "\xED\xA0\x80", std::nullopt},
      {"empty", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto repaired = repairedUtf8(c.input);
    EXPECT_TRUE(isValidUtf8(repaired));
    if (c.expected) {
      EXPECT_EQ(repaired, *c.expected);
    }
  }
}

}  // namespace
}  // namespace platform::text
