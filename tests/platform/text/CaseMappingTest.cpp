#include "platform/text/CaseMapping.h"

#include <clocale>

#include <gtest/gtest.h>

#include "platform/text/CharacterClasses.h"

namespace platform::text {
namespace {

TEST(CaseMappingTest, RootCaseMappingIsFullAndLocaleIndependent) {
  const struct {
    const char* text;
    const char* lower;
    const char* upper;
  } cases[] = {
      {"Straße", "straße", "STRASSE"},
      {"İstanbul", "i̇stanbul", "İSTANBUL"},  // dotted capital I keeps its dot as a mark
      {"TITLE", "title", "TITLE"},
      {"ǅ", "ǆ", "Ǆ"},
      {"ﬁ", "ﬁ", "FI"},
      {"ΣΑΣ", "σας", "ΣΑΣ"},  // final sigma by its context
      {"日本語", "日本語", "日本語"},
      {"", "", ""},
  };
  const char* previous = std::setlocale(LC_ALL, nullptr);
  const std::string saved = previous ? previous : "C";
  std::setlocale(LC_ALL, "C.UTF-8");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(lowercased(c.text), c.lower);
    EXPECT_EQ(uppercased(c.text), c.upper);
  }
  std::setlocale(LC_ALL, saved.c_str());
  EXPECT_EQ(lowercased("a\xFF"), "a\uFFFD");
}

TEST(CharacterClassesTest, PunctuationIsGeneralCategoryP) {
  const struct {
    char32_t c;
    bool punctuation;
  } cases[] = {
      {U'.', true},      {U',', true},      {U'\'', true},     {U'-', true},      {U'_', true},
      {U'(', true},      {U'\u2019', true}, {U'\u3002', true}, {U'\u300C', true}, {U'\u00BF', true},
      {U'+', false},     {U'$', false},     {U'`', false},     {U'a', false},     {U' ', false},
      {U'\u2581', false}, {U'\uFFFD', false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<unsigned>(c.c));
    EXPECT_EQ(isPunctuation(c.c), c.punctuation);
  }
}

}  // namespace
}  // namespace platform::text
