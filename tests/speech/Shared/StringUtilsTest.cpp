#include "speech/Shared/StringUtils.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/text/Graphemes.h"

namespace tesselaudio {
namespace {

TEST(StringUtilsTest, LevenshteinDistance) {
  struct Case {
    const char* name;
    std::string a, b;
    std::size_t distance;
  };
  const Case cases[] = {
      {"flaw and lawn", "flaw", "lawn", 2},
      {"empty against three", "", "abc", 3},
      {"three against empty", "abc", "", 3},
      {"both empty", "", "", 0},
      {"canonically equivalent", "caf\u00E9", "cafe\u0301", 0},
      {"one character with a mark", "\u00E9", "e", 1},
      {"family emoji is one character", "\U0001F468\u200D\U0001F469\u200D\U0001F467", "x", 1},
      {"Japanese", "\u8B70\u4E8B\u9332", "\u8B70\u4E8B", 1},
      {"kitten and sitting", "kitten", "sitting", 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(StringUtils::levenshteinDistance(c.a, c.b), c.distance);
    EXPECT_EQ(StringUtils::levenshteinDistance(c.b, c.a), c.distance);
  }
}

TEST(StringUtilsTest, ListsGiveTheSameDistances) {
  EXPECT_EQ(StringUtils::levenshteinDistance(std::vector<char>{'f', 'l', 'a', 'w'},
                                             std::vector<char>{'l', 'a', 'w', 'n'}),
            2u);
  EXPECT_EQ(StringUtils::levenshteinDistance(std::vector<int>{}, std::vector<int>{1, 2, 3}), 3u);
  const std::vector<std::string> a = {"the", "quick", "fox"};
  const std::vector<std::string> b = {"the", "quick", "brown", "fox"};
  EXPECT_EQ(StringUtils::levenshteinDistance(a, b), 1u);
  EXPECT_EQ(StringUtils::levenshteinDistance(platform::text::graphemes("kitten"),
                                             platform::text::graphemes("sitting")),
            StringUtils::levenshteinDistance("kitten", "sitting"));
}

}  // namespace
}  // namespace tesselaudio
