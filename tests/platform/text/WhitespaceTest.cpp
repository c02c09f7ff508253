#include "platform/text/Whitespace.h"

#include <gtest/gtest.h>

namespace platform::text {
namespace {

TEST(WhitespaceTest, TrimsBlanksButNotLineBreaks) {
  struct Case {
    const char* name;
    const char* text;
    const char* blanksTrimmed;
    const char* allTrimmed;
  };
  const Case cases[] = {
      {"spacesAndTab", " \t司会 ", "司会", "司会"},
      {"ideographicSpace", "\u3000名前\u3000", "名前", "名前"},
      {"noBreakSpace", "\u00a0x\u00a0", "x", "x"},
      {"lineBreakKept", "\n", "\n", ""},
      {"innerBlanksKept", " a b ", "a b", "a b"},
      {"onlyBlanks", "   ", "", ""},
      {"breaksAroundText", "\n x \r\n", "\n x \r\n", "x"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(trimBlanks(c.text), c.blanksTrimmed);
    EXPECT_EQ(trimWhitespaceAndNewlines(c.text), c.allTrimmed);
  }
}

}  // namespace
}  // namespace platform::text
