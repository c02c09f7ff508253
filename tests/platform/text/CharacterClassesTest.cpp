#include "platform/text/CharacterClasses.h"

#include <gtest/gtest.h>

#include "platform/text/Folding.h"
#include "platform/text/Normalization.h"

namespace platform::text {
namespace {

TEST(CharacterClassesTest, ClassifiesByCategoryAndProperty) {
  const struct {
    char32_t c;
    bool control, digit, letterOrMark, whiteSpace;
  } cases[] = {
      {U'a', false, false, true, false},      {U'\u00E9', false, false, true, false},
      {U'\u0301', false, false, true, false}, {U'\u3042', false, false, true, false},
      {U'7', false, true, false, false},      {U'\u0663', false, true, false, false},
      {U'\u00BD', false, false, false, false},  // a number, but no decimal digit
      {U'\t', true, false, false, true},      {U'\n', true, false, false, true},
      {U'\u0085', true, false, false, true},  {U'\u200D', true, false, false, false},
      {U'\uFEFF', true, false, false, false}, {U'\u200B', true, false, false, false},
      {U' ', false, false, false, true},      {U'\u3000', false, false, false, true},
      {U'\u2028', false, false, false, true}, {U'-', false, false, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<unsigned>(c.c));
    EXPECT_EQ(isControlCharacter(c.c), c.control);
    EXPECT_EQ(isDecimalDigit(c.c), c.digit);
    EXPECT_EQ(isLetterOrMark(c.c), c.letterOrMark);
    EXPECT_EQ(isWhiteSpace(c.c), c.whiteSpace);
  }
}

TEST(CharacterClassesTest, CompatibilityNormalisationFlattensForms) {
  EXPECT_EQ(toNfkc("\uFB01"), "fi");
  EXPECT_EQ(toNfkc("a\u00A0b\u3000c"), "a b c");
  EXPECT_EQ(toNfkc("\uFF21\uFF11"), "A1");
  EXPECT_EQ(toNfkc("cafe\u0301\t"), "caf\u00E9\t");
  EXPECT_EQ(toNfkc("a\xFF"), "a\uFFFD");
}

TEST(CharacterClassesTest, DiacriticFoldingKeepsLetterCase) {
  EXPECT_EQ(foldDiacritics("Caf\u00C9"), "CafE");
  EXPECT_EQ(foldDiacritics("Cafe\u0301"), "Cafe");
  EXPECT_EQ(foldDiacritics("\u00C4rger"), "Arger");
  EXPECT_EQ(foldDiacritics("O'Brien"), "O'Brien");
  EXPECT_EQ(foldDiacritics("\u65E5\u672C"), "\u65E5\u672C");
  // Without marks the folding is the text in NFC.
  EXPECT_EQ(foldDiacritics("\uAC00"), toNfc("\u1100\u1161"));
}

}  // namespace
}  // namespace platform::text
