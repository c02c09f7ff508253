#include "app/Shell/StatusItem.h"

#include <QCursor>
#include <QGuiApplication>
#include <QScreen>
#include <QSignalSpy>
#include <gtest/gtest.h>

#include "app/Shell/CompactView.h"
#include "tests/app/Shell/ShellFixture.h"

namespace veltovoice {
namespace {

using Phase = LiveModel::Phase;

class StatusItemTest : public testing::ShellTest {
 protected:
  StatusItem& item() {
    if (!item_) {
      popover_ = std::make_unique<CompactView>(model(), [] {}, [] {});
      item_ = std::make_unique<StatusItem>(model(), *popover_);
    }
    return *item_;
  }

  ~StatusItemTest() override {
    item_.reset();
    popover_.reset();
  }

  // How far the shown popover stands from `expected`, in pixels along both axes.
  int offBy(const QPoint& expected) const { return (popover_->pos() - expected).manhattanLength(); }

  // The offscreen desktop may put a small frame around the popup.
  static constexpr int kFrame = 4;

  std::unique_ptr<CompactView> popover_;
  std::unique_ptr<StatusItem> item_;
};

TEST_F(StatusItemTest, SymbolAndTooltipFollowThePhase) {
  struct Case {
    Phase phase;
    const char* symbol;
    const char* toolTip;
  };
  // In this order every step changes the phase; only the ones into and out of recording and
  // paused change what the item shows.
  const Case cases[] = {
      {Phase::starting, "waveform", "VELTO VOICE"},
      {Phase::recording, "record.circle.fill", "VELTO VOICE · 録音中"},
      {Phase::paused, "pause.circle", "VELTO VOICE · 一時停止中"},
      {Phase::recording, "record.circle.fill", "VELTO VOICE · 録音中"},
      {Phase::stopping, "waveform", "VELTO VOICE"},
      {Phase::idle, "waveform", "VELTO VOICE"},
  };
  EXPECT_EQ(item().symbol(), "waveform");
  EXPECT_EQ(item().toolTip(), "VELTO VOICE");
  EXPECT_FALSE(item().icon().isNull());
  QSignalSpy changed(&item(), &StatusItem::changed);
  int expectedChanges = 0;
  QString shown = item().symbol();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.symbol);
    model().setPhase(c.phase);
    if (shown != c.symbol) ++expectedChanges;
    shown = c.symbol;
    EXPECT_EQ(item().symbol(), c.symbol);
    EXPECT_EQ(item().toolTip(), c.toolTip);
    EXPECT_FALSE(item().icon().isNull());
    EXPECT_EQ(changed.count(), expectedChanges);
  }
}

TEST_F(StatusItemTest, PopoverStaysAtTheItemAndOnTheScreen) {
  struct Case {
    const char* name;
    QRect anchor;
    QRect screen;
    QPoint expected;
  };
  const QSize size(320, 200);
  const QRect screen(0, 0, 1920, 1080);
  const Case cases[] = {
      {"below a top panel, centred", QRect(1000, 0, 24, 24), screen, QPoint(852, 24)},
      {"above a bottom panel", QRect(1000, 1056, 24, 24), screen, QPoint(852, 856)},
      {"right edge", QRect(1890, 0, 24, 24), screen, QPoint(1600, 24)},
      {"left edge", QRect(0, 0, 24, 24), screen, QPoint(0, 24)},
      {"second screen", QRect(2900, 0, 24, 24), QRect(1920, 0, 1280, 1024), QPoint(2752, 24)},
      {"no screen known", QRect(1000, 0, 24, 24), QRect(), QPoint(852, 24)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(StatusItem::popoverPosition(c.anchor, size, c.screen), c.expected);
  }
}

TEST_F(StatusItemTest, ToggleShowsAndHidesThePopoverAtTheAnchorOrThePointer) {
  item().togglePopover(QRect(300, 0, 20, 20));
  ASSERT_TRUE(popover_->isVisible());
  const QRect free = QGuiApplication::primaryScreen()->availableGeometry();
  EXPECT_LE(offBy(StatusItem::popoverPosition(QRect(300, 0, 20, 20), popover_->size(), free)), kFrame);
  item().togglePopover(QRect(300, 0, 20, 20));
  EXPECT_FALSE(popover_->isVisible());

  // A tray that does not say where its icon is: the pointer stands in.
  QCursor::setPos(200, 150);
  const QPoint pointer = QCursor::pos();
  item().togglePopover(QRect());
  ASSERT_TRUE(popover_->isVisible());
  EXPECT_LE(offBy(StatusItem::popoverPosition(QRect(pointer, QSize(1, 1)), popover_->size(), free)), kFrame);
  item().closePopover();
  EXPECT_FALSE(popover_->isVisible());
}

}  // namespace
}  // namespace veltovoice
