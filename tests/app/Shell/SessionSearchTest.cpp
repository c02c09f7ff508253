#include "app/Shell/SessionSearch.h"

#include <gtest/gtest.h>

#include "app/Model/VoiceSession.h"
#include "tests/app/Shell/ShellFixture.h"

namespace veltovoice {
namespace {

TEST(SessionSearchTest, MatchesTitleOrSentenceIgnoringCaseAndDiacritics) {
  VoiceSession session;
  session.title = "Café Meeting";
  session.segments = {testing::sentence("次はガイドラインを確認します"), testing::sentence("Straße  und Ärger")};
  session.speakerNames = {{0, "Yamada"}};
  session.memo = "memo only";

  struct Case {
    const char* query;
    bool found;
  };
  const Case cases[] = {
      {"cafe", true},
      {"CAFÉ", true},
      {"café meeting", true},
      {"e\u0301 m", true},          // a decomposed accent in the query
      {"ガイド", true},
      {"カイト", true},               // voiced marks are diacritics too
      {"strasse", true},             // full case folding
      {"  und", true},               // blanks count, inside a sentence
      {"aerger", false},
      {"ärger", true},
      {"arger", true},
      {"Yamada", false},             // speaker names are not searched
      {"memo", false},               // nor the memo
      {"確認します。", false},
      {"\u0301", false},             // folds to nothing
      {"\u0301\u0308", false},
  };
  SessionSearch search;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.query);
    EXPECT_EQ(search.matches(session, SessionSearch::fold(QString::fromUtf8(c.query))), c.found);
  }
}

TEST(SessionSearchTest, KeepsFoldedTextsUntilTheConversationIsForgotten) {
  VoiceSession session;
  session.title = "定例";
  session.segments = {testing::sentence("予算の話")};
  SessionSearch search;
  const QString needle = SessionSearch::fold(QStringLiteral("Résumé"));
  EXPECT_FALSE(search.matches(session, needle));

  session.segments.push_back(testing::sentence("RESUME を送る"));
  // The folded texts are the ones of the first search until the change is reported.
  EXPECT_FALSE(search.matches(session, needle));
  search.forget(session.id);
  EXPECT_TRUE(search.matches(session, needle));
}

}  // namespace
}  // namespace veltovoice
