#include "app/Editor/SpeakerNamesRow.h"

#include <memory>

#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include "app/Editor/SpeakerPalette.h"
#include "app/Model/LiveModel.h"
#include "app/Model/SessionStore.h"
#include "tests/app/Editor/WidgetTestApplication.h"
#include "tests/support/ManualClock.h"
#include "tests/support/TemporaryFolder.h"

namespace veltovoice {
namespace {

LiveSegment sentence(std::optional<int> speaker) {
  LiveSegment segment;
  segment.text = "はい";
  segment.speaker = speaker;
  return segment;
}

// A real model over a temporary root holding one stored conversation, and its name row in a
// shown window.
class SpeakerNamesRowTest : public ::testing::Test {
 protected:
  void SetUp() override { testing::widgetApplication(); }

  void TearDown() override {
    row_.reset();
    live_.reset();
    QCoreApplication::processEvents();
  }

  SpeakerNamesRow& rowFor(VoiceSession session) {
    session.title = "定例";
    session.markdownFile = "定例.md";
    id_ = session.id;
    SessionStore::inFolder(root_.path()).save(session);
    LiveModelServices services;
    services.clock = clock_;
    live_ = std::make_unique<LiveModel>(root_.path(), services);
    row_ = std::make_unique<SpeakerNamesRow>(*live_, id_);
    row_->resize(500, 40);
    row_->show();
    row_->activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(row_.get()));
    return *row_;
  }

  std::map<int, std::string> storedNames() {
    clock_->advance(LiveModel::kSaveDebounceSeconds);
    return SessionStore::inFolder(root_.path()).loadAll().at(0).speakerNames;
  }

  testsupport::TemporaryFolder root_;
  std::shared_ptr<testsupport::ManualClock> clock_ = std::make_shared<testsupport::ManualClock>();
  std::unique_ptr<LiveModel> live_;
  std::unique_ptr<SpeakerNamesRow> row_;
  QUuid id_;
};

TEST_F(SpeakerNamesRowTest, ShowsEveryUsedOrNamedSlotInOrder) {
  VoiceSession session;
  session.segments = {sentence(2), sentence(std::nullopt), sentence(0), sentence(2)};
  session.speakerNames = {{5, "佐藤"}};
  SpeakerNamesRow& row = rowFor(session);

  ASSERT_EQ(row.shownSlots(), (std::vector<int>{0, 2, 5}));
  struct Case {
    int slot;
    const char* placeholder;
    const char* text;
  };
  const Case cases[] = {{0, "話者A", ""}, {2, "話者C", ""}, {5, "話者6", "佐藤"}};
  int previousX = -1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.slot);
    QLineEdit* field = row.field(c.slot);
    ASSERT_NE(field, nullptr);
    EXPECT_EQ(field->placeholderText(), c.placeholder);
    EXPECT_EQ(field->text(), c.text);
    EXPECT_EQ(field->width(), 84);
    const int x = field->mapTo(&row, QPoint(0, 0)).x();
    EXPECT_GT(x, previousX);
    previousX = x;
  }
  EXPECT_EQ(row.horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
}

TEST_F(SpeakerNamesRowTest, EveryKeystrokeRenamesWithTheWholeText) {
  VoiceSession session;
  session.segments = {sentence(0), sentence(1)};
  SpeakerNamesRow& row = rowFor(session);
  QLineEdit* field = row.field(1);
  field->setFocus();
  QSignalSpy changes(live_.get(), &LiveModel::sessionChanged);

  QTest::keyClicks(field, " Sato");
  EXPECT_EQ(changes.count(), 5);
  EXPECT_EQ(live_->session(id_)->speakerNames.at(1), " Sato");
  EXPECT_EQ(storedNames().at(1), " Sato");

  // Emptied: the empty name is stored and the field stays, showing its placeholder.
  for (int i = 0; i < 5; ++i) QTest::keyClick(field, Qt::Key_Backspace);
  EXPECT_EQ(live_->session(id_)->speakerNames.at(1), "");
  EXPECT_EQ(row.shownSlots(), (std::vector<int>{0, 1}));
  EXPECT_EQ(row.field(1), field);
  EXPECT_EQ(field->text(), "");
  EXPECT_EQ(field->placeholderText(), "話者B");
  EXPECT_EQ(storedNames().at(1), "");
}

TEST_F(SpeakerNamesRowTest, ModelChangesReachTheFieldsWithoutRenamingAgain) {
  VoiceSession session;
  session.segments = {sentence(0)};
  SpeakerNamesRow& row = rowFor(session);
  QSignalSpy changes(live_.get(), &LiveModel::sessionChanged);

  live_->renameSpeaker(id_, 0, "田中");
  live_->renameSession(id_, "週次定例");
  live_->renameSpeaker(QUuid::createUuid(), 0, "nobody");
  EXPECT_EQ(row.field(0)->text(), "田中");
  EXPECT_EQ(changes.count(), 2);
  EXPECT_EQ(live_->session(id_)->speakerNames, (std::map<int, std::string>{{0, "田中"}}));
}

TEST_F(SpeakerNamesRowTest, NewSlotRebuildsTheRowButKeepsTheFocusedField) {
  VoiceSession session;
  session.segments = {sentence(0), sentence(3)};
  SpeakerNamesRow& row = rowFor(session);
  QLineEdit* typing = row.field(3);
  typing->setFocus();
  QTest::keyClicks(typing, "Ito");

  live_->renameSpeaker(id_, 1, "Kato");
  live_->renameSpeaker(id_, 3, "from elsewhere");
  EXPECT_EQ(row.shownSlots(), (std::vector<int>{0, 1, 3}));
  EXPECT_EQ(row.field(3), typing);
  EXPECT_TRUE(typing->hasFocus());
  EXPECT_EQ(typing->text(), "Ito");
  EXPECT_EQ(row.field(1)->text(), "Kato");
}

TEST_F(SpeakerNamesRowTest, NegativeSlotGetsAFieldAndAColour) {
  VoiceSession session;
  session.segments = {sentence(-1), sentence(0)};
  SpeakerNamesRow& row = rowFor(session);
  ASSERT_EQ(row.shownSlots(), (std::vector<int>{-1, 0}));
  EXPECT_EQ(row.field(-1)->placeholderText(), "話者0");
  EXPECT_EQ(SpeakerPalette::color(-1), SpeakerPalette::colors()[3]);
  QTest::keyClicks(row.field(-1), "x");
  EXPECT_EQ(live_->session(id_)->speakerNames.at(-1), "x");
}

}  // namespace
}  // namespace veltovoice
