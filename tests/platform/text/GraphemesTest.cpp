#include "platform/text/Graphemes.h"

#include <gtest/gtest.h>

namespace platform::text {
namespace {

TEST(GraphemesTest, CountsUserPerceivedCharacters) {
  struct Case {
    const char* name;
    std::string text;
    std::size_t count;
  };
  const Case cases[] = {
      {"empty", "", 0},
      {"ascii", "abc", 3},
      {"japanese", "会議です", 4},
      {"combiningMark", "e\u0301", 1},
      {"flag", "\U0001F1EF\U0001F1F5", 1},
      {"familyEmoji", "\U0001F468\u200D\U0001F469\u200D\U0001F467", 1},
      {"crlf", "\r\n", 1},
      {"invalidBytes", std::string("a\xff\xfe", 3), 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(graphemeCount(c.text), c.count);
    EXPECT_EQ(graphemes(c.text).size(), c.count);
  }
}

TEST(GraphemesTest, PrefixesEndOnCharacterBoundaries) {
  const std::string text = "ab\U0001F1EF\U0001F1F5会";
  EXPECT_EQ(graphemePrefix(text, 3), "ab\U0001F1EF\U0001F1F5");
  EXPECT_EQ(graphemePrefix(text, 10), text);
  EXPECT_EQ(graphemePrefixWithinBytes(text, 9), "ab");  // the flag takes 8 bytes
  EXPECT_EQ(graphemePrefixWithinBytes(text, 10), "ab\U0001F1EF\U0001F1F5");
  EXPECT_EQ(graphemePrefixWithinBytes(text, 100), text);
}

TEST(GraphemesTest, RecognisesValidUtf8) {
  EXPECT_TRUE(isValidUtf8("会議 ok"));
  EXPECT_FALSE(isValidUtf8(std::string("\xe4\xbc", 2)));
  EXPECT_FALSE(isValidUtf8(std::string("\xc0\x80", 2)));
}

}  // namespace
}  // namespace platform::text
