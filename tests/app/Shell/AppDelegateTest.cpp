#include "app/Shell/AppDelegate.h"

#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSettings>
#include <QSysInfo>
#include <QTest>
#include <gmock/gmock.h>

#include "app/Shell/CompactView.h"
#include "app/Shell/MainWindow.h"
#include "app/Shell/RecordingCommands.h"
#include "app/Shell/StatusItem.h"
#include "app/Shell/UpdateCommands.h"
#include "app/Updates/Updates.h"
#include "platform/sys/Error.h"
#include "platform/update/UpdateItem.h"
#include "tests/app/Shell/AppEntryFixture.h"

namespace veltovoice {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using Phase = LiveModel::Phase;

// Every top-level main window of the process that is not being deleted.
int mainWindowCount() {
  int count = 0;
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (qobject_cast<MainWindow*>(widget)) ++count;
  }
  return count;
}

class AppDelegateTest : public testing::AppEntryTest {};

TEST_F(AppDelegateTest, LaunchMakesOneModelOneWindowAndLogsTheStart) {
  AppDelegate& app = delegate();
  LiveModel& first = app.live();
  app.launch();
  app.launch();
  EXPECT_EQ(&app.live(), &first);
  EXPECT_EQ(first.store().sessionsDirectory, root() / "Sessions");

  MainWindow* window = app.window();
  ASSERT_TRUE(window);
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(window->windowTitle(), "VELTO VOICE");
  EXPECT_EQ(window->size(), QSize(1320, 800));
  EXPECT_EQ(window->minimumSize(), QSize(1040, 560));
  EXPECT_EQ(mainWindowCount(), 1);

  const QString line = AppDelegate::startLine();
  EXPECT_THAT(line.toStdString(), StartsWith("起動 "));
  EXPECT_THAT(line.toStdString(), HasSubstr(QSysInfo::prettyProductName().toStdString()));
  EXPECT_THAT(logMessages(), Contains(line.toStdString()));
}

TEST_F(AppDelegateTest, ShowingTheWindowAgainKeepsTheOneWindow) {
  AppDelegate& app = delegate();
  app.showMainWindow();
  MainWindow* window = app.window();
  window->close();
  EXPECT_FALSE(window->isVisible());
  testsupport::settleEvents();
  EXPECT_EQ(quitReady_, 0) << "closing the window ended the application";

  app.showMainWindow();
  app.showMainWindow();
  EXPECT_EQ(app.window(), window);
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(mainWindowCount(), 1);
}

TEST_F(AppDelegateTest, NextLaunchRestoresTheWindowWhereTheUserLeftIt) {
  relaunch();
  MainWindow* window = delegate().window();
  window->resize(1100, 640);
  window->move(40, 30);
  const QRect left = window->geometry();
  window->close();

  relaunch();
  EXPECT_EQ(delegate().window()->geometry(), left);

  // Ending the application keeps where the window was, also without closing it.
  delegate().window()->move(60, 50);
  const QRect moved = delegate().window()->geometry();
  ASSERT_TRUE(quitAndWait(AppDelegate::QuitRequest::ask));
  relaunch();
  EXPECT_EQ(delegate().window()->geometry(), moved);
  // It never gets smaller than its minimum.
  delegate().window()->resize(600, 300);
  EXPECT_EQ(delegate().window()->size(), QSize(1040, 560));
}

// Notes what the model has selected when the main window first paints.
class FirstPaintProbe : public QObject {
 public:
  explicit FirstPaintProbe(AppDelegate& app) : app_(app) { qApp->installEventFilter(this); }
  ~FirstPaintProbe() override { qApp->removeEventFilter(this); }

  bool eventFilter(QObject* watched, QEvent* event) override {
    auto* widget = qobject_cast<QWidget*>(watched);
    if (event->type() == QEvent::Paint && !painted && widget && app_.window() &&
        widget->window() == app_.window()) {
      painted = true;
      const VoiceSession* selected = app_.live().selected();
      selectedTitle = selected ? std::optional<std::string>(selected->title) : std::nullopt;
    }
    return false;
  }

  bool painted = false;
  std::optional<std::string> selectedTitle;

 private:
  AppDelegate& app_;
};

TEST_F(AppDelegateTest, DemoLoadsBeforeTheFirstFrameOnlyForExactlyOne) {
  struct Case {
    const char* name;
    const char* value;  // null: no variable
    bool demo;
  };
  const Case cases[] = {
      {"one", "1", true},   {"true", "true", false}, {"zero one", "01", false},
      {"empty", "", false}, {"unset", nullptr, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.value) {
      setenv("VELTOVOICE_DEMO", c.value, 1);
    } else {
      unsetenv("VELTOVOICE_DEMO");
    }
    delegate_.reset();
    FirstPaintProbe probe(delegate());
    delegate().launch();
    ASSERT_TRUE(testsupport::processEventsUntil([&] { return probe.painted; }));
    if (c.demo) {
      EXPECT_EQ(probe.selectedTitle, "サンプル");
    } else {
      EXPECT_EQ(probe.selectedTitle, std::nullopt);
      EXPECT_EQ(delegate().live().sessionCount(), 0);
    }
  }
}

// A menu as its title and its items, "—" for a divider.
struct MenuShape {
  std::string title;
  std::vector<std::string> items;
  bool operator==(const MenuShape&) const = default;
};

void PrintTo(const MenuShape& menu, std::ostream* out) {
  *out << menu.title << " [";
  for (const std::string& item : menu.items) *out << item << "; ";
  *out << "]";
}

std::vector<MenuShape> menuShapes(QMenuBar& bar) {
  std::vector<MenuShape> shapes;
  for (QAction* top : bar.actions()) {
    MenuShape shape{top->text().toStdString(), {}};
    for (QAction* item : top->menu()->actions()) {
      if (item->isSeparator()) {
        shape.items.push_back("—");
        continue;
      }
      std::string text = item->text().toStdString();
      if (!item->shortcut().isEmpty()) text += " " + item->shortcut().toString().toStdString();
      shape.items.push_back(text);
    }
    shapes.push_back(shape);
  }
  return shapes;
}

TEST_F(AppDelegateTest, MenusHoldTheirItemsWithTheirShortcuts) {
  delegate().launch();
  EXPECT_THAT(menuShapes(*delegate().window()->menuBar()),
              ElementsAre(MenuShape{"VELTO VOICE",
                                    {"アップデートを確認…", "更新を自動で確認・通知", "—", "VELTO VOICEを終了 Ctrl+Q"}},
                          MenuShape{"ファイル", {"音声ファイルを取り込む… Ctrl+O"}},
                          MenuShape{"表示", {"次の会話 Ctrl+Tab", "前の会話 Ctrl+Shift+Tab"}},
                          MenuShape{"録音",
                                    {"新規録音を開始 Ctrl+R", "一時停止 Ctrl+Shift+R", "録音を終了 Ctrl+.", "—",
                                     "文字起こしをコピー"}},
                          MenuShape{"ヘルプ", {"ログを開く"}}));
  EXPECT_THAT(delegate().previousAction()->shortcuts(),
              Contains(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Backtab)));
}

TEST_F(AppDelegateTest, ConversationItemsFollowTheSelection) {
  delegate().launch();
  AppDelegate& app = delegate();
  // With no conversation at all only the copy item is off.
  EXPECT_FALSE(app.recordingCommands()->copyTranscript()->isEnabled());
  EXPECT_TRUE(app.nextAction()->isEnabled());
  EXPECT_TRUE(app.previousAction()->isEnabled());
  app.nextAction()->trigger();
  app.previousAction()->trigger();
  EXPECT_EQ(model().selectedID(), std::nullopt);

  model().loadDemo();
  ASSERT_TRUE(app.recordingCommands()->copyTranscript()->isEnabled());
  app.recordingCommands()->copyTranscript()->trigger();
  ASSERT_TRUE(clipboard_->text);
  EXPECT_THAT(*clipboard_->text, HasSubstr(model().sessionAt(0).segments.front().text));
}

TEST_F(AppDelegateTest, LogItemShowsTheLogFile) {
  delegate().launch();
  delegate().revealLogAction()->trigger();
  ASSERT_EQ(desktop_->calls.size(), 1u);
  EXPECT_EQ(desktop_->calls[0], "show " + (AppLog::directory() / "veltovoice.log").string());
}

TEST_F(AppDelegateTest, StartItemShowsTheWindowBeforeStarting) {
  delegate().launch();
  MainWindow* window = delegate().window();
  window->close();
  bool shownBeforeStart = false;
  QObject::connect(&model(), &LiveModel::phaseChanged, window, [&] {
    if (model().phase() == Phase::starting) shownBeforeStart = window->isVisible();
  });
  startRecording();
  EXPECT_TRUE(shownBeforeStart);
  QCoro::waitFor(model().stop());
}

// The code with which the update service refuses to install `item`, or 0 when it allows it.
int refusal(Updates& updates, const platform::UpdateItem& item) {
  try {
    updates.mayProceedWithInstalling(item);
    return 0;
  } catch (const platform::Error& error) {
    return error.code();
  }
}

TEST_F(AppDelegateTest, InstallingWaitsForIdle) {
  delegate().launch();
  platform::UpdateItem item;
  item.fileURL = "https://elsewhere.example/VeltoVoice.tar.gz";
  EXPECT_TRUE(delegate().canInstall());
  // Past the busy check, the download address is refused: this build names no feed.
  EXPECT_EQ(refusal(delegate().updates(), item), Updates::kUntrustedDownload);
  startRecording();
  EXPECT_FALSE(delegate().canInstall());
  EXPECT_EQ(refusal(delegate().updates(), item), Updates::kBusy);
  delegate().recordingCommands()->pause()->trigger();
  EXPECT_EQ(refusal(delegate().updates(), item), Updates::kBusy);
  QCoro::waitFor(model().stop());
  EXPECT_TRUE(delegate().canInstall());
}

TEST_F(AppDelegateTest, UpdateItemsFollowTheService) {
  delegate().launch();
  Updates& updates = delegate().updates();
  UpdateCommands& commands = *delegate().updateCommands();
  // This build names no feed: the service never becomes usable, the preference still works.
  ASSERT_FALSE(updates.configured());
  EXPECT_EQ(updates.status(), "更新先の設定を読み込めませんでした");
  EXPECT_FALSE(commands.check()->isEnabled());
  EXPECT_EQ(commands.check()->text(), "アップデートを確認…");
  ASSERT_TRUE(commands.automatic()->isEnabled());
  EXPECT_TRUE(commands.automatic()->isChecked());

  commands.automatic()->trigger();
  EXPECT_FALSE(updates.automatic());
  EXPECT_EQ(QSettings("VeltoVoice", "VeltoVoice").value("automaticUpdates"), false);
  updates.setAutomatic(true);
  EXPECT_TRUE(commands.automatic()->isChecked());

  platform::UpdateItem found;
  found.displayVersionString = "2.1";
  found.versionString = "210";
  updates.didFindValidUpdate(found);
  EXPECT_EQ(commands.check()->text(), "アップデート（2.1）…");
  updates.willFinishUpdateSession();
  EXPECT_EQ(commands.check()->text(), "アップデートを確認…");
}

TEST_F(AppDelegateTest, UpdateWindowsBringTheMainWindowForward) {
  delegate().launch();
  delegate().window()->close();
  delegate().updateCommands()->check()->trigger();
  EXPECT_FALSE(delegate().window()->isVisible()) << "a disabled item acted";
  delegate().updates().check();
  EXPECT_TRUE(delegate().window()->isVisible());
}

TEST_F(AppDelegateTest, PopoverOpensTheWindowAndClosesItself) {
  delegate().launch();
  AppDelegate& app = delegate();
  app.window()->close();
  CompactView* popover = app.popover();
  ASSERT_TRUE(popover);

  app.statusItem()->togglePopover(QRect(400, 0, 24, 24));
  ASSERT_TRUE(popover->isVisible());
  app.statusItem()->togglePopover(QRect(400, 0, 24, 24));
  EXPECT_FALSE(popover->isVisible());

  app.statusItem()->togglePopover(QRect(400, 0, 24, 24));
  ASSERT_TRUE(popover->isVisible());
  popover->openButton()->click();
  EXPECT_FALSE(popover->isVisible());
  EXPECT_TRUE(app.window()->isVisible());
}

TEST_F(AppDelegateTest, RecordingShortcutsReachTheModelWhileThePopoverIsOpen) {
  delegate().launch();
  AppDelegate& app = delegate();
  app.window()->close();
  app.statusItem()->togglePopover(QRect(400, 0, 24, 24));
  CompactView* popover = app.popover();
  ASSERT_TRUE(QTest::qWaitForWindowActive(popover));
  for (QAction* action : {app.recordingCommands()->start(), app.recordingCommands()->pause(),
                          app.recordingCommands()->stop()}) {
    EXPECT_TRUE(popover->actions().contains(action)) << action->text().toStdString();
  }
  holds_->inputAt = 0;
  QTest::keyClick(popover, Qt::Key_R, Qt::ControlModifier);
  ASSERT_TRUE(testsupport::processEventsUntil([&] { return model().phase() == Phase::recording; }));
  holds_->inputAt = -1;
  QCoro::waitFor(model().stop());
}

TEST_F(AppDelegateTest, PopoverQuitButtonGoesThroughTheQuitRoad) {
  delegate().launch();
  delegate().popover()->quitButton()->click();
  ASSERT_TRUE(testsupport::processEventsUntil([&] { return quitReady_ > 0; }));
}

}  // namespace
}  // namespace veltovoice
