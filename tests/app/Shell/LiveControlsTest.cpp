#include "app/Shell/LiveControls.h"

#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

#include "tests/support/EventLoop.h"
#include "tests/app/Shell/ShellFixture.h"

namespace veltovoice {
namespace {

using Phase = LiveModel::Phase;

class LiveControlsTest : public testing::ShellTest {
 protected:
  LiveControls& controls(bool compact) {
    controls_ = std::make_unique<LiveControls>(model(), compact);
    controls_->resize(280, controls_->sizeHint().height());
    controls_->show();
    return *controls_;
  }

  ~LiveControlsTest() override { controls_.reset(); }

  std::unique_ptr<LiveControls> controls_;
};

QString symbolOf(const QPushButton* button) { return button->property("symbolName").toString(); }

TEST_F(LiveControlsTest, ShowsThePageOfEachPhase) {
  struct Case {
    Phase phase;
    const char* shownButton;  // objectName of a button on the shown page, or "" for the progress row
    const char* progress;
    const char* pauseText;
    const char* pauseSymbol;
  };
  const Case cases[] = {
      {Phase::idle, "startButton", "", "", ""},
      {Phase::starting, "", "準備しています…", "", ""},
      {Phase::recording, "stopButton", "", "一時停止", "pause.fill"},
      {Phase::paused, "stopButton", "", "再開", "play.fill"},
      {Phase::stopping, "", "終了しています…", "", ""},
  };
  for (bool compact : {false, true}) {
    LiveControls& shown = controls(compact);
    for (const Case& c : cases) {
      SCOPED_TRACE(::testing::Message() << "compact " << compact << " phase " << static_cast<int>(c.phase));
      model().setPhase(c.phase);
      EXPECT_EQ(shown.startButton()->isVisible(), c.phase == Phase::idle);
      EXPECT_EQ(shown.progressText()->isVisible(), std::string(c.progress) != "");
      EXPECT_EQ(shown.stopButton()->isVisible(), std::string(c.pauseText) != "");
      if (*c.progress) {
        EXPECT_EQ(shown.progressText()->text(), c.progress);
      }
      if (*c.pauseText) {
        EXPECT_EQ(shown.pauseButton()->text(), c.pauseText);
        EXPECT_EQ(symbolOf(shown.pauseButton()), c.pauseSymbol);
        EXPECT_TRUE(shown.nextButton()->isVisible());
      }
    }
    model().setPhase(Phase::idle);
  }
}

TEST_F(LiveControlsTest, ButtonsCarryTheirLabelsSymbolsAndHelp) {
  LiveControls& shown = controls(false);
  EXPECT_EQ(shown.startButton()->text(), "新規録音を開始");
  EXPECT_EQ(symbolOf(shown.startButton()), "record.circle");
  EXPECT_TRUE(shown.startButton()->property("prominent").toBool());
  EXPECT_EQ(shown.stopButton()->text(), "終了");
  EXPECT_EQ(symbolOf(shown.stopButton()), "stop.fill");
  EXPECT_TRUE(shown.stopButton()->property("prominent").toBool());
  EXPECT_EQ(shown.nextButton()->text(), "新規録音を開始");
  EXPECT_EQ(symbolOf(shown.nextButton()), "plus.circle");
  EXPECT_FALSE(shown.nextButton()->property("prominent").toBool());
  EXPECT_EQ(shown.nextButton()->toolTip(), "今の録音を保存して、次の録音を始めます（Ctrl+R）");
}

TEST_F(LiveControlsTest, FullLayoutStacksPauseAndStopAboveAWideNextButton) {
  LiveControls& shown = controls(false);
  model().setPhase(Phase::recording);
  QCoreApplication::processEvents();
  const QRect pause = shown.pauseButton()->geometry();
  const QRect stop = shown.stopButton()->geometry();
  const QRect next = shown.nextButton()->geometry();
  EXPECT_EQ(pause.top(), stop.top());
  EXPECT_LT(pause.right(), stop.left());
  EXPECT_GE(next.top(), pause.bottom() + 8);
  EXPECT_EQ(next.width(), shown.width());
  EXPECT_EQ(pause.left(), 0);
  EXPECT_EQ(stop.right(), shown.width() - 1);
  EXPECT_GE(next.height(), 32);  // the large size
}

TEST_F(LiveControlsTest, CompactLayoutKeepsOneRowOfNaturalWidths) {
  LiveControls& shown = controls(true);
  model().setPhase(Phase::recording);
  shown.adjustSize();
  QCoreApplication::processEvents();
  int previousRight = -1;
  for (QPushButton* button : {shown.pauseButton(), shown.stopButton(), shown.nextButton()}) {
    SCOPED_TRACE(button->objectName().toStdString());
    EXPECT_EQ(button->geometry().center().y(), shown.pauseButton()->geometry().center().y());
    EXPECT_EQ(button->width(), button->sizeHint().width());
    EXPECT_GT(button->x(), previousRight);
    EXPECT_LT(button->height(), 32);  // the regular size
    previousRight = button->geometry().right();
  }
  // In idle the compact stack is only as wide as its start button.
  model().setPhase(Phase::idle);
  EXPECT_EQ(shown.sizeHint().width(), shown.startButton()->sizeHint().width());
}

TEST_F(LiveControlsTest, StartButtonHandsTheStartToTheEventLoop) {
  LiveControls& shown = controls(false);
  *diarizerHeld_ = true;
  shown.startButton()->click();
  // The click has returned while the recording is still being prepared.
  EXPECT_EQ(model().phase(), Phase::starting);
  EXPECT_EQ(shown.progressText()->text(), "準備しています…");
  *diarizerHeld_ = false;
  testsupport::processEventsUntil([&] { return model().phase() == Phase::recording; });
  EXPECT_EQ(model().phase(), Phase::recording);
  EXPECT_TRUE(shown.stopButton()->isVisible());
}

TEST_F(LiveControlsTest, PauseNextAndStopDriveARealRecording) {
  LiveControls& shown = controls(false);
  record();
  shown.pauseButton()->click();
  EXPECT_EQ(model().phase(), Phase::paused);
  EXPECT_EQ(shown.pauseButton()->text(), "再開");
  shown.pauseButton()->click();
  EXPECT_EQ(model().phase(), Phase::recording);

  const QUuid first = *model().liveID();
  shown.nextButton()->click();
  testsupport::processEventsUntil([&] { return model().phase() == Phase::recording && model().liveID() != first; });
  ASSERT_EQ(model().phase(), Phase::recording);
  EXPECT_EQ(model().sessionCount(), 2);
  EXPECT_NE(model().liveID(), first);

  shown.stopButton()->click();
  testsupport::processEventsUntil([&] { return model().phase() == Phase::idle; });
  EXPECT_EQ(model().phase(), Phase::idle);
  EXPECT_FALSE(model().liveID().has_value());
  EXPECT_TRUE(shown.startButton()->isVisible());
}

}  // namespace
}  // namespace veltovoice
