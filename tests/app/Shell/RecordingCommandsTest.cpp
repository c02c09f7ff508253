#include "app/Shell/RecordingCommands.h"

#include <QAction>
#include <QMenu>
#include <gtest/gtest.h>

#include "tests/app/Shell/ShellFixture.h"

namespace veltovoice {
namespace {

using Phase = LiveModel::Phase;

class RecordingCommandsTest : public testing::ShellTest {
 protected:
  RecordingCommands& commands() {
    if (!commands_) commands_ = std::make_unique<RecordingCommands>(model(), [this] { ++shown_; });
    return *commands_;
  }

  ~RecordingCommandsTest() override { commands_.reset(); }

  std::unique_ptr<RecordingCommands> commands_;
  int shown_ = 0;
};

TEST_F(RecordingCommandsTest, TitlesAndEnablingFollowThePhase) {
  struct Case {
    Phase phase;
    bool start;
    const char* pauseTitle;
    bool pause;
    bool stop;
  };
  const Case cases[] = {
      {Phase::starting, false, "一時停止", false, false},
      {Phase::recording, true, "一時停止", true, true},
      {Phase::paused, true, "再開", true, true},
      {Phase::stopping, false, "一時停止", false, false},
      {Phase::idle, true, "一時停止", false, false},
  };
  EXPECT_TRUE(commands().start()->isEnabled());
  EXPECT_FALSE(commands().pause()->isEnabled());
  EXPECT_FALSE(commands().stop()->isEnabled());
  for (const Case& c : cases) {
    SCOPED_TRACE(QVariant::fromValue(c.phase).toString().toStdString());
    model().setPhase(c.phase);
    EXPECT_EQ(commands().start()->isEnabled(), c.start);
    EXPECT_EQ(commands().pause()->text(), c.pauseTitle);
    EXPECT_EQ(commands().pause()->isEnabled(), c.pause);
    EXPECT_EQ(commands().stop()->isEnabled(), c.stop);
    EXPECT_EQ(commands().start()->text(), "新規録音を開始");
    EXPECT_EQ(commands().stop()->text(), "録音を終了");
  }
}

TEST_F(RecordingCommandsTest, ShortcutsAndOrder) {
  EXPECT_EQ(commands().start()->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_R));
  EXPECT_EQ(commands().pause()->shortcut(), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_R));
  EXPECT_EQ(commands().stop()->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Period));
  EXPECT_TRUE(commands().copyTranscript()->shortcut().isEmpty());
  QMenu menu;
  commands().addTo(menu);
  const QList<QAction*> items = menu.actions();
  ASSERT_EQ(items.size(), 5);
  EXPECT_EQ(items[0], commands().start());
  EXPECT_EQ(items[1], commands().pause());
  EXPECT_EQ(items[2], commands().stop());
  EXPECT_TRUE(items[3]->isSeparator());
  EXPECT_EQ(items[4], commands().copyTranscript());
}

TEST_F(RecordingCommandsTest, CopyNeedsASelectedConversation) {
  const VoiceSession older = stored("前の会議", 100, {testing::sentence("はじめに")});
  const VoiceSession newer = stored("今の会議", 200, {testing::sentence("つぎに")});
  ASSERT_TRUE(commands().copyTranscript()->isEnabled());
  commands().copyTranscript()->trigger();
  // The newest conversation is selected at start.
  EXPECT_NE(clipboard_->text.value_or("").find("つぎに"), std::string::npos);

  model().setSelectedID(std::nullopt);
  EXPECT_FALSE(commands().copyTranscript()->isEnabled());
  model().setSelectedID(older.id);
  EXPECT_TRUE(commands().copyTranscript()->isEnabled());
  // Deleting the selected conversation selects the newest one left.
  model().deleteSession(older.id);
  EXPECT_TRUE(commands().copyTranscript()->isEnabled());
  model().deleteSession(newer.id);
  EXPECT_FALSE(commands().copyTranscript()->isEnabled());
}

TEST_F(RecordingCommandsTest, StartShowsTheWindowFirstAndPauseAndStopActOnTheRecording) {
  Phase phaseWhenShown = Phase::stopping;
  commands_ = std::make_unique<RecordingCommands>(model(), [&] {
    ++shown_;
    phaseWhenShown = model().phase();
  });
  commands().start()->trigger();
  EXPECT_EQ(shown_, 1);
  EXPECT_EQ(phaseWhenShown, Phase::idle);
  ASSERT_TRUE(testsupport::processEventsUntil([&] { return model().phase() == Phase::recording; }));

  commands().pause()->trigger();
  EXPECT_EQ(model().phase(), Phase::paused);
  EXPECT_EQ(commands().pause()->text(), "再開");
  commands().pause()->trigger();
  EXPECT_EQ(model().phase(), Phase::recording);

  // Starting while recording saves the running recording and starts the next one.
  const QUuid first = model().liveID().value_or(QUuid());
  commands().start()->trigger();
  EXPECT_EQ(shown_, 2);
  ASSERT_TRUE(testsupport::processEventsUntil(
      [&] { return model().phase() == Phase::recording && model().liveID() != first; }));
  EXPECT_TRUE(model().session(first)->duration);

  const int before = shown_;
  commands().stop()->trigger();
  EXPECT_EQ(shown_, before) << "stopping brought the window forward";
  ASSERT_TRUE(testsupport::processEventsUntil([&] { return model().phase() == Phase::idle; }));
}

}  // namespace
}  // namespace veltovoice
