#include "app/Editor/PlayerBar.h"

#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <QToolButton>
#include <gtest/gtest.h>

#include "app/Editor/AudioPlayback.h"
#include "tests/app/Editor/PlaybackFixture.h"

namespace veltovoice {
namespace {

// A shown bar over the fixture's playback, with its controls found by name.
class PlayerBarTest : public testing::PlaybackTest {
 protected:
  PlayerBar& bar(double speed = 40) {
    if (!bar_) {
      bar_ = std::make_unique<PlayerBar>(playback(speed));
      bar_->resize(600, 48);
      bar_->show();
      bar_->activateWindow();
      EXPECT_TRUE(QTest::qWaitForWindowActive(bar_.get()));
    }
    return *bar_;
  }
  template <typename T>
  T* control(const char* name) {
    T* found = bar().findChild<T*>(name);
    EXPECT_NE(found, nullptr) << name;
    return found;
  }
  QToolButton* skipBack() { return control<QToolButton>("skipBackButton"); }
  QToolButton* skipForward() { return control<QToolButton>("skipForwardButton"); }
  QPushButton* playPause() { return control<QPushButton>("playPauseButton"); }
  QSlider* slider() { return control<QSlider>("positionSlider"); }
  QString time() { return control<QLabel>("timeLabel")->text(); }
  QString symbol() { return playPause()->property("symbolName").toString(); }

  void pressAltSpace() {
    QTest::keySequence(bar_.get(), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Space)); }

  std::unique_ptr<PlayerBar> bar_;
};

TEST_F(PlayerBarTest, NothingLoadedDisablesEverything) {
  bar();
  for (QWidget* w : {static_cast<QWidget*>(skipBack()), static_cast<QWidget*>(playPause()),
                     static_cast<QWidget*>(skipForward()), static_cast<QWidget*>(slider())}) {
    SCOPED_TRACE(w->objectName().toStdString());
    EXPECT_FALSE(w->isEnabled());
  }
  EXPECT_EQ(time(), "00:00 / 00:00");
  EXPECT_EQ(slider()->minimum(), 0);
  EXPECT_EQ(slider()->maximum(), 10);
  EXPECT_EQ(slider()->accessibleName(), "再生位置");
  EXPECT_EQ(symbol(), "play.fill");
  EXPECT_EQ(playPause()->toolTip(), "再生（Ctrl+Shift+Space）");
  EXPECT_EQ(skipBack()->toolTip(), "15秒戻る");
  EXPECT_EQ(skipForward()->toolTip(), "15秒進む");

  pressAltSpace();
  slider()->setValue(5);
  EXPECT_FALSE(playback().isPlaying());
  EXPECT_EQ(playback().position(), 0.0);
}

TEST_F(PlayerBarTest, ShowsPositionAndDurationAsClockTimes) {
  bar();
  playback().load(longRecording("long.wav", 750.0));
  EXPECT_TRUE(playPause()->isEnabled());
  EXPECT_EQ(time(), "00:00 / 12:30");
  playback().seek(65.4, false);
  EXPECT_EQ(time(), "01:05 / 12:30");
  EXPECT_EQ(slider()->maximum(), 750000);
  EXPECT_EQ(slider()->value(), 65400);
}

TEST_F(PlayerBarTest, AltSpaceTogglesPlayAndPause) {
  bar(0.01);
  playback().load(recording("one.m4a", 2.0));
  pressAltSpace();
  EXPECT_TRUE(playback().isPlaying());
  EXPECT_EQ(symbol(), "pause.fill");
  EXPECT_EQ(playPause()->toolTip(), "一時停止（Ctrl+Shift+Space）");
  pressAltSpace();
  EXPECT_FALSE(playback().isPlaying());
  EXPECT_TRUE(playback().loaded());
  EXPECT_EQ(symbol(), "play.fill");
}

TEST_F(PlayerBarTest, SkipsMoveFifteenSecondsWithoutChangingPlayState) {
  bar(0.01);
  playback().load(longRecording("long.wav", 60.0));
  struct Case {
    const char* name;
    double from;
    bool forward;
    double expected;
  };
  const Case cases[] = {
      {"backFromSevenSeconds", 7, false, 0},
      {"back", 40, false, 25},
      {"forward", 20, true, 35},
      {"forwardTenBeforeTheEnd", 50, true, 60},
  };
  for (bool playing : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (playing ? " playing" : " paused"));
      playback().seek(c.from, playing);
      if (!playing) playback().pause();
      ASSERT_EQ(playback().isPlaying(), playing);
      QTest::mouseClick(c.forward ? skipForward() : skipBack(), Qt::LeftButton);
      EXPECT_EQ(playback().position(), c.expected);
      EXPECT_EQ(playback().isPlaying(), playing);
    }
  }
}

TEST_F(PlayerBarTest, SliderMovesSeekInMilliseconds) {
  bar(0.01);
  playback().load(recording("one.m4a", 2.0));
  slider()->setValue(1250);
  EXPECT_EQ(playback().position(), 1.25);
  EXPECT_FALSE(playback().isPlaying());
  EXPECT_EQ(time(), "00:01 / 00:02");
}

TEST_F(PlayerBarTest, PlayingToTheEndTurnsTheButtonBackToPlay) {
  bar(40);
  playback().load(recording("one.m4a", 1.0));
  QTest::mouseClick(playPause(), Qt::LeftButton);
  EXPECT_EQ(symbol(), "pause.fill");
  ASSERT_TRUE(QTest::qWaitFor([&] { return !playback().isPlaying(); }, 10000));
  EXPECT_EQ(symbol(), "play.fill");
  EXPECT_EQ(playPause()->toolTip(), "再生（Ctrl+Shift+Space）");
  EXPECT_EQ(time(), "00:01 / 00:01");
}

}  // namespace
}  // namespace veltovoice
