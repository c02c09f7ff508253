#include "app/Shell/RecordingPanel.h"

#include <QLabel>
#include <QPushButton>
#include <gtest/gtest.h>

#include "app/Shell/LiveControls.h"
#include "app/Shell/PulsingSymbol.h"
#include "app/Shell/WaveformView.h"
#include "tests/app/Shell/ShellFixture.h"

namespace veltovoice {
namespace {

using Phase = LiveModel::Phase;

class RecordingPanelTest : public testing::ShellTest {
 protected:
  RecordingPanel& panel() {
    if (!panel_) {
      panel_ = std::make_unique<RecordingPanel>(model());
      panel_->resize(700, panel_->sizeHint().height());
      panel_->show();
    }
    return *panel_;
  }

  ~RecordingPanelTest() override { panel_.reset(); }

  std::unique_ptr<RecordingPanel> panel_;
};

TEST_F(RecordingPanelTest, StateWordSymbolAndPulseFollowThePhase) {
  struct Case {
    Phase phase;
    const char* word;
    const char* symbol;
    bool pulsing;
  };
  const Case cases[] = {
      {Phase::starting, "準備中", "record.circle.fill", false},
      {Phase::recording, "録音中", "record.circle.fill", true},
      {Phase::paused, "一時停止中", "pause.circle.fill", false},
      {Phase::recording, "録音中", "record.circle.fill", true},
      {Phase::stopping, "準備中", "record.circle.fill", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.word);
    model().setPhase(c.phase);
    EXPECT_EQ(panel().stateWord()->text(), c.word);
    EXPECT_EQ(panel().stateSymbol()->symbolName(), c.symbol);
    EXPECT_EQ(panel().stateSymbol()->pulsing(), c.pulsing);
    EXPECT_EQ(panel().waveform()->active(), c.phase == Phase::recording);
    EXPECT_EQ(panel().controls()->compact(), true);
    // A symbol that stops pulsing stands at full opacity.
    if (!c.pulsing) {
      EXPECT_EQ(panel().stateSymbol()->opacity(), 1.0);
    }
  }
}

TEST_F(RecordingPanelTest, FollowsARealRecordingWithItsTimeAndLevels) {
  RecordingPanel& shown = panel();
  EXPECT_EQ(shown.elapsedText()->text(), "00:00");
  record();
  EXPECT_EQ(shown.stateWord()->text(), "録音中");
  EXPECT_TRUE(shown.stateSymbol()->pulsing());
  EXPECT_TRUE(shown.controls()->stopButton()->isVisible());

  clock_->advance(12.2);
  EXPECT_EQ(shown.elapsedText()->text(), "00:12");
  model().setLevels({0.01f, 0.1f});
  EXPECT_EQ(shown.waveform()->levels(), (std::vector<float>{0.01f, 0.1f}));
  EXPECT_EQ(shown.waveform()->height(), RecordingPanel::kWaveformHeight);
  model().setElapsed(3725);
  EXPECT_EQ(shown.elapsedText()->text(), "1:02:05");
}

TEST_F(RecordingPanelTest, PausedClockStandsStill) {
  RecordingPanel& shown = panel();
  record();
  clock_->advance(2);
  EXPECT_EQ(shown.elapsedText()->text(), "00:02");
  shown.controls()->pauseButton()->click();
  EXPECT_EQ(shown.stateWord()->text(), "一時停止中");
  EXPECT_FALSE(shown.stateSymbol()->pulsing());
  clock_->advance(5);
  EXPECT_EQ(shown.elapsedText()->text(), "00:02");
  shown.controls()->pauseButton()->click();
  clock_->advance(1);
  EXPECT_EQ(shown.elapsedText()->text(), "00:03");
  EXPECT_TRUE(shown.stateSymbol()->pulsing());
}

}  // namespace
}  // namespace veltovoice
