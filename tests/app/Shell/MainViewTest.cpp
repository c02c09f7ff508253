#include "app/Shell/MainView.h"

#include <filesystem>
#include <string>

#include <QCoroTask>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QToolButton>
#include <QTest>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/Editor/PlayerBar.h"
#include "app/Editor/VeltoToolsFooter.h"
#include "app/Processing/MinutesPanel.h"
#include "app/Processing/TasksPanel.h"
#include "app/Shell/NoticeBanner.h"
#include "app/Shell/RecordingPanel.h"
#include "app/Shell/SessionDetail.h"
#include "app/Shell/SessionHeader.h"
#include "app/Shell/SessionList.h"
#include "app/Shell/StatusLine.h"
#include "app/Shell/WrappedText.h"
#include "tests/app/Shell/MainWindowFixture.h"
#include "tests/support/EventLoop.h"

namespace veltovoice {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Notice = LiveModel::Notice;
using Phase = LiveModel::Phase;
using testing::kMarch3;

class MainViewTest : public testing::MainWindowTest {
 protected:
  SessionDetail& detail() { return *view().detail(); }
  SessionHeader& header() { return *detail().header(); }
  bool actionsShown(bool job, bool menu, bool find) {
    return header().jobRow()->isVisible() == job && header().menuButton()->isVisible() == menu &&
           header().findButton()->isVisible() == find;
  }
};

// ---- What the detail shows --------------------------------------------------------------------

TEST_F(MainViewTest, NothingSelectedShowsOnlyTheHintAndGivesThePlayerNothing) {
  view();
  EXPECT_FALSE(model().selectedID());
  EXPECT_TRUE(detail().hint()->isVisible());
  EXPECT_EQ(detail().hint()->text(), "「新規録音を開始」（Ctrl+R）で、録音しながら文字起こしします。");
  EXPECT_FALSE(detail().content()->isVisible());
  EXPECT_FALSE(detail().banner()->isVisible());
  EXPECT_FALSE(detail().statusLine()->isVisible());
  EXPECT_FALSE(player().loaded());
  EXPECT_THAT(opened_, IsEmpty());
}

TEST_F(MainViewTest, SelectedConversationShowsItsRowsByWhetherItHasARecording) {
  const VoiceSession withRecording = storedWithRecording("録音あり", kMarch3 + 60);
  const VoiceSession without = stored("録音なし", kMarch3, {}, false);
  view();
  struct Case {
    const char* name;
    QUuid id;
    bool bar;
    bool menu;
    bool find;
  };
  const Case cases[] = {
      {"with a recording", withRecording.id, true, true, false},
      {"without a recording", without.id, false, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    model().setSelectedID(c.id);
    EXPECT_FALSE(detail().hint()->isVisible());
    EXPECT_TRUE(header().isVisible());
    EXPECT_FALSE(detail().recordingPanel()->isVisible());
    EXPECT_EQ(detail().playerBar()->isVisible(), c.bar);
    EXPECT_TRUE(actionsShown(false, c.menu, c.find));
    EXPECT_TRUE(header().copyButton()->isVisible());
    EXPECT_TRUE(header().folderButton()->isVisible());
    EXPECT_TRUE(detail().transcript()->isVisible());
    EXPECT_EQ(player().loaded(), c.bar) << "selecting a conversation without a recording closes the last one";
  }
}

TEST_F(MainViewTest, PanelColumnHoldsTheMinutesAndTasksOfTheSelectedConversation) {
  const VoiceSession first = stored("一つ目", kMarch3 + 60);
  const VoiceSession second = stored("二つ目", kMarch3);
  view();
  auto* minutes = qobject_cast<MinutesPanel*>(detail().minutesPanel());
  auto* tasks = qobject_cast<TasksPanel*>(detail().tasksPanel());
  ASSERT_NE(minutes, nullptr);
  ASSERT_NE(tasks, nullptr);
  EXPECT_EQ(minutes->parentWidget(), detail().panelColumn());
  EXPECT_EQ(tasks->parentWidget(), detail().panelColumn());
  for (const VoiceSession* session : {&first, &second}) {
    SCOPED_TRACE(session->title);
    model().setSelectedID(session->id);
    EXPECT_TRUE(minutes->isVisible());
    EXPECT_TRUE(tasks->isVisible());
    EXPECT_EQ(minutes->sessionID(), session->id);
    EXPECT_EQ(tasks->sessionID(), session->id);
  }
}

TEST_F(MainViewTest, LiveConversationShowsThePanelUntilIdleThenTheBarAndTheMenu) {
  inputFrames_ = 16000;
  stored("前の会話", kMarch3);
  view();
  record();
  // Some of the input's second of audio, so that the recording file has something to play.
  ASSERT_TRUE(testsupport::processEventsUntil([&] { return model().levels().size() >= 3; }));
  const QUuid live = *model().liveID();
  ASSERT_EQ(model().selectedID(), live);
  EXPECT_TRUE(detail().recordingPanel()->isVisible());
  EXPECT_TRUE(header().isVisible());
  EXPECT_TRUE(actionsShown(false, false, false)) << "nothing in the action area while recording";
  EXPECT_FALSE(detail().playerBar()->isVisible());

  QCoro::waitFor(model().stop());
  ASSERT_EQ(model().phase(), Phase::idle);
  EXPECT_FALSE(detail().recordingPanel()->isVisible());
  EXPECT_TRUE(detail().playerBar()->isVisible());
  EXPECT_TRUE(actionsShown(false, true, false));
  const fs::path recording = model().store().audioDirectory / *model().session(live)->audioFile;
  ASSERT_TRUE(fs::exists(recording));
  EXPECT_TRUE(player().loaded());
  ASSERT_FALSE(opened_.empty());
  EXPECT_EQ(opened_.back(), recording);

  // Another return to idle reloads the same recording, which keeps playing undisturbed.
  player().play();
  const std::size_t opens = opened_.size();
  model().setPhase(Phase::starting);
  model().setPhase(Phase::idle);
  EXPECT_EQ(opened_.size(), opens);
  EXPECT_TRUE(player().isPlaying());
}

TEST_F(MainViewTest, SelectedConversationDeletedWhileShownFallsBackToTheNextOrTheHint) {
  const VoiceSession older = storedWithRecording("古い", kMarch3);
  const VoiceSession newer = storedWithRecording("新しい", kMarch3 + 60);
  view();
  ASSERT_EQ(model().selectedID(), newer.id);

  model().deleteSession(newer.id);
  EXPECT_EQ(model().selectedID(), older.id);
  EXPECT_EQ(header().titleField()->text(), "古い");
  EXPECT_EQ(opened_.back(), audioPath(older));

  model().deleteSession(older.id);
  EXPECT_TRUE(detail().hint()->isVisible());
  EXPECT_FALSE(detail().content()->isVisible());
  EXPECT_FALSE(player().loaded());
}

TEST_F(MainViewTest, SelectionLeftOnAVanishedConversationShowsTheHint) {
  const VoiceSession session = storedWithRecording("会話", kMarch3);
  view();
  // The list loses the conversation without the selection moving, as when a failed start
  // removes the conversation it made.
  model().removeSessions(session.id);
  EXPECT_EQ(model().selectedID(), session.id);
  EXPECT_TRUE(detail().hint()->isVisible());
  EXPECT_FALSE(detail().content()->isVisible());
  EXPECT_FALSE(player().loaded());
}

// ---- Keeping the player on the selected recording --------------------------------------------

TEST_F(MainViewTest, PlayerFollowsSelectionAudioFileAndTheReturnToIdle) {
  const VoiceSession first = storedWithRecording("一", kMarch3);
  const VoiceSession second = storedWithRecording("二", kMarch3 + 60);
  const VoiceSession unlinked = stored("三", kMarch3 + 120, {}, false);
  model().setSelectedID(first.id);
  view();
  ASSERT_THAT(opened_, ElementsAre(audioPath(first))) << "the first appearance loads the selection";

  model().setSelectedID(second.id);
  EXPECT_EQ(opened_.back(), audioPath(second));
  EXPECT_EQ(opened_.size(), 2u) << "one selection change opens the file once";

  model().setSelectedID(unlinked.id);
  EXPECT_FALSE(player().loaded());

  // A recording linked or imported for the selected conversation loads without a new selection.
  const std::string name = LiveModel::idText(unlinked.id) + ".m4a";
  VoiceSession linked = unlinked;
  linked.audioFile = name;
  writeRecording(linked);
  model().editSession(unlinked.id, [&](VoiceSession& s) { s.audioFile = name; });
  EXPECT_TRUE(player().loaded());
  EXPECT_EQ(opened_.back(), audioPath(linked));
  EXPECT_TRUE(detail().playerBar()->isVisible());
  EXPECT_TRUE(actionsShown(false, true, false));

  // Another phase loads nothing; only idle does.
  player().load(std::nullopt);
  const std::size_t opens = opened_.size();
  model().setPhase(Phase::starting);
  EXPECT_EQ(opened_.size(), opens);
  EXPECT_FALSE(player().loaded());
  model().setPhase(Phase::idle);
  EXPECT_TRUE(player().loaded());
  EXPECT_EQ(opened_.back(), audioPath(linked));

  // A change of another conversation's file leaves the player alone.
  const std::size_t before = opened_.size();
  model().editSession(first.id, [](VoiceSession& s) { s.audioFile = "other.m4a"; });
  EXPECT_EQ(opened_.size(), before);
}

TEST_F(MainViewTest, MissingRecordingFileLeavesTheBarDisabledWithoutANotice) {
  stored("消えた録音", kMarch3);
  view();
  EXPECT_TRUE(detail().playerBar()->isVisible());
  EXPECT_FALSE(player().loaded());
  const auto* slider = detail().playerBar()->findChild<QSlider*>();
  ASSERT_NE(slider, nullptr);
  EXPECT_FALSE(slider->isEnabled());
  EXPECT_FALSE(model().notice());
}

// ---- Notice banner and status line -----------------------------------------------------------

TEST_F(MainViewTest, NoticeBannerOffersSettingsOnlyForAnActionTheDesktopCanOpen) {
  struct Case {
    const char* name;
    std::optional<Notice::Action> action;
    bool settingsPanes;
    bool button;
  };
  const Case cases[] = {
      {"no action", std::nullopt, true, false},
      {"action, desktop without panes", Notice::Action::microphone, false, false},
      {"action, desktop with panes", Notice::Action::microphone, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    desktop_->settingsPanes = c.settingsPanes;
    model().setNotice(Notice{"マイクを使えません。", c.action});
    view();
    NoticeBanner& banner = *detail().banner();
    EXPECT_TRUE(banner.isVisible());
    EXPECT_EQ(banner.text()->text(), "マイクを使えません。");
    EXPECT_EQ(banner.settingsButton()->isVisible(), c.button);
    EXPECT_TRUE(banner.dismissButton()->isVisible());
    if (c.button) {
      EXPECT_EQ(banner.settingsButton()->text(), "システム設定を開く");
      banner.settingsButton()->click();
      EXPECT_THAT(desktop_->calls, ElementsAre("address " + LiveModel::settingsAddress(*c.action)));
      EXPECT_TRUE(model().notice()) << "the notice stays";
    }
    model().setNotice(std::nullopt);
    EXPECT_FALSE(banner.isVisible());
  }
}

TEST_F(MainViewTest, DismissingTheNoticeKeepsStatusLineAndContent) {
  storedWithRecording("会話", kMarch3);
  view();
  model().setStatus("録音を準備しています…");
  model().setNotice(Notice{"保存できませんでした。", std::nullopt});
  StatusLine& status = *detail().statusLine();
  EXPECT_TRUE(status.isVisible());
  EXPECT_EQ(status.text()->text(), "録音を準備しています…");
  EXPECT_TRUE(status.busyIndicator()->isVisible());

  detail().banner()->dismissButton()->click();
  EXPECT_FALSE(model().notice());
  EXPECT_FALSE(detail().banner()->isVisible());
  EXPECT_TRUE(status.isVisible());
  EXPECT_TRUE(header().isVisible());
  EXPECT_TRUE(detail().playerBar()->isVisible());

  model().setStatus("");
  EXPECT_FALSE(status.isVisible());
}

TEST_F(MainViewTest, BannerAndStatusShowWithoutASelection) {
  view();
  model().setNotice(Notice{"知らせ", std::nullopt});
  model().setStatus("停止しています…");
  EXPECT_TRUE(detail().banner()->isVisible());
  EXPECT_TRUE(detail().statusLine()->isVisible());
  EXPECT_TRUE(detail().hint()->isVisible());
}

TEST_F(MainViewTest, LongNoticeWrapsAndTheBannerGrows) {
  storedWithRecording("会話", kMarch3);
  // Tall enough for the whole text above the conversation's smallest content.
  view().resize(1320, 1200);
  model().setNotice(Notice{"短い知らせ", std::nullopt});
  QCoreApplication::processEvents();
  const int oneLine = detail().banner()->height();

  std::string longText;
  for (int i = 0; i < 400; ++i) longText += "長い知らせの文 ";
  model().setNotice(Notice{longText, std::nullopt});
  view().layout()->activate();
  QCoreApplication::processEvents();
  const WrappedText& text = *detail().banner()->text();
  EXPECT_GT(text.lineCountFor(text.width()), 10);
  EXPECT_FALSE(text.isCut());
  EXPECT_GE(text.height(), text.heightForWidth(text.width()));
  EXPECT_GT(detail().banner()->height(), oneLine * 5);
}

// ---- Window layout ---------------------------------------------------------------------------

TEST_F(MainViewTest, ContentKeepsItsMinimumSizeAndTheListItsWidth) {
  storedWithRecording("会話", kMarch3);
  view();
  EXPECT_EQ(view().minimumSize(), QSize(1040, 560));
  EXPECT_EQ(view().font().pixelSize(), 11);
  struct Case {
    const char* name;
    QSize asked;
    QSize got;
  };
  const Case cases[] = {
      {"too small", QSize(600, 300), QSize(1040, 560)},
      {"minimum", QSize(1040, 560), QSize(1040, 560)},
      {"wide", QSize(1600, 900), QSize(1600, 900)},
  };
  int detailAtMinimum = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    view().resize(c.asked);
    view().layout()->activate();
    EXPECT_EQ(view().size(), c.got);
    EXPECT_EQ(view().list()->width(), MainView::kListWidth);
    EXPECT_EQ(detail().panelColumn()->width(), SessionDetail::kPanelColumnWidth);
    if (c.got.width() == 1040) detailAtMinimum = detail().width();
  }
  EXPECT_GT(detail().width(), detailAtMinimum) << "the detail takes the extra width";
  EXPECT_TRUE(view().footer()->isVisible());
}

}  // namespace
}  // namespace veltovoice
