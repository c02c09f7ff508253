#include "app/Shell/SessionList.h"

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <QAbstractItemModelTester>
#include <QHelpEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QToolTip>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/Shell/SessionListModel.h"
#include "app/Shell/SessionRowDelegate.h"
#include "tests/support/EventLoop.h"
#include "tests/app/Shell/ShellFixture.h"

namespace veltovoice {
namespace {

namespace fs = std::filesystem;
using Phase = LiveModel::Phase;

// 2025-03-03 09:05:00 in Tokyo, in seconds since 2001.
constexpr double kMarch3 = 1740960300.0 - 978307200.0;

class SessionListTest : public testing::ShellTest {
 protected:
  SessionList& list() {
    if (!list_) {
      list_ = std::make_unique<SessionList>(model());
      tester_ = std::make_unique<QAbstractItemModelTester>(
          list_->model(), QAbstractItemModelTester::FailureReportingMode::Fatal);
      list_->resize(280, 600);
      list_->show();
      QCoreApplication::processEvents();
    }
    return *list_;
  }

  ~SessionListTest() override {
    tester_.reset();
    list_.reset();
  }

  std::vector<std::string> shownTitles() {
    std::vector<std::string> titles;
    SessionListModel* rows = list().model();
    for (int row = 0; row < rows->rowCount(); ++row) {
      titles.push_back(rows->index(row).data().toString().toStdString());
    }
    return titles;
  }

  QModelIndex rowOf(const QUuid& id) { return list().model()->index(list().model()->rowOf(id)); }

  QVariant role(const QUuid& id, int role) { return rowOf(id).data(role); }

  void search(const QString& query) { list().searchField()->setText(query); }

  std::vector<std::string> actionTexts(QMenu& menu) {
    std::vector<std::string> texts;
    for (QAction* action : menu.actions()) {
      texts.push_back(action->isSeparator() ? "—" : action->text().toStdString());
    }
    return texts;
  }

  QAction* action(QMenu& menu, const QString& text) {
    for (QAction* candidate : menu.actions()) {
      if (candidate->text() == text) return candidate;
    }
    return nullptr;
  }

  std::unique_ptr<SessionList> list_;
  std::unique_ptr<QAbstractItemModelTester> tester_;
};

TEST_F(SessionListTest, EmptyListAndFruitlessSearchSayWhy) {
  EXPECT_TRUE(list().emptyText()->isVisible());
  EXPECT_FALSE(list().view()->isVisible());
  EXPECT_EQ(list().emptyText()->text(), "まだ会話はありません。");
  search("会議");
  EXPECT_EQ(list().emptyText()->text(), "見つかりません。");
  EXPECT_TRUE(list().emptyText()->isVisible());
  EXPECT_EQ(list().searchField()->placeholderText(), "検索");
  EXPECT_TRUE(list().searchField()->isClearButtonEnabled());
}

TEST_F(SessionListTest, SearchFindsTitlesAndSentencesInModelOrder) {
  stored("Café で雑談", kMarch3 + 100, {testing::sentence("コーヒーの話")});
  stored("週次定例", kMarch3 + 200, {testing::sentence("予算は cafe 代も含めます"), testing::sentence("以上")});
  stored("Planning", kMarch3 + 300, {testing::sentence("Résumé確認")});
  stored("雑談 2", kMarch3 + 400, {testing::sentence("なし")});
  ASSERT_EQ(shownTitles(), (std::vector<std::string>{"雑談 2", "Planning", "週次定例", "Café で雑談"}));

  struct Case {
    const char* query;
    std::vector<std::string> titles;
  };
  const Case cases[] = {
      {"cafe", {"週次定例", "Café で雑談"}},
      {"CAFÉ", {"週次定例", "Café で雑談"}},
      {"resume", {"Planning"}},
      {"以上", {"週次定例"}},
      {" ", {"雑談 2", "週次定例", "Café で雑談"}},  // one blank is a query, not an empty one
      {"\u0301", {}},
      {"見当たらない", {}},
      {"", {"雑談 2", "Planning", "週次定例", "Café で雑談"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.query);
    search(QString::fromUtf8(c.query));
    EXPECT_EQ(shownTitles(), c.titles);
    EXPECT_EQ(list().emptyText()->isVisible(), c.titles.empty());
  }
}

TEST_F(SessionListTest, SearchFollowsEditsOfAConversation) {
  const VoiceSession meeting = stored("定例", kMarch3, {testing::sentence("予算の話")});
  stored("別件", kMarch3 + 10, {testing::sentence("ほか")});
  search("naïve");
  EXPECT_TRUE(shownTitles().empty());

  model().updateText(meeting.segments[0].id, "Naive な見積もり");
  EXPECT_EQ(shownTitles(), (std::vector<std::string>{"定例"}));
  model().renameSession(meeting.id, "NAIVE");
  model().updateText(meeting.segments[0].id, "予算");
  EXPECT_EQ(shownTitles(), (std::vector<std::string>{"NAIVE"}));
  model().deleteSession(meeting.id);
  EXPECT_TRUE(shownTitles().empty());
  EXPECT_EQ(list().emptyText()->text(), "見つかりません。");
}

TEST_F(SessionListTest, StartButtonIsThereOnlyWhileIdle) {
  EXPECT_EQ(list().startButton()->text(), "新規録音を開始");
  EXPECT_EQ(list().startButton()->toolTip(), "Ctrl+R");
  EXPECT_EQ(list().startButton()->width(), list().searchField()->width());
  for (Phase phase : {Phase::starting, Phase::recording, Phase::paused, Phase::stopping, Phase::idle}) {
    SCOPED_TRACE(static_cast<int>(phase));
    model().setPhase(phase);
    EXPECT_EQ(list().startButton()->isVisible(), phase == Phase::idle);
  }
}

TEST_F(SessionListTest, StartButtonStartsARecordingAndReturnsAtOnce) {
  stored("前の会議", kMarch3);
  *diarizerHeld_ = true;
  list().startButton()->click();
  EXPECT_EQ(model().phase(), Phase::starting);
  EXPECT_FALSE(list().startButton()->isVisible());
  *diarizerHeld_ = false;
  testsupport::processEventsUntil([&] { return model().phase() == Phase::recording; });
  ASSERT_EQ(model().phase(), Phase::recording);
  // The new conversation heads the list as the live row.
  EXPECT_EQ(list().model()->index(0).data(SessionListModel::LiveRole).toBool(), true);
  EXPECT_EQ(list().model()->rowCount(), 2);
}

TEST_F(SessionListTest, RowsMarkTheLiveConversationAndDescribeTheOthers) {
  const VoiceSession plain = stored("録音なし", kMarch3, {}, false);
  VoiceSession timed = stored("長さあり", kMarch3 + 60);
  record();
  const QUuid live = *model().liveID();
  model().setElapsed(12.7);
  model().editSession(timed.id, [](VoiceSession& session) { session.duration = 754.9; });

  struct Case {
    const char* name;
    Phase phase;
    QUuid id;
    QString detail;
    QString symbol;
    bool pulsing;
    bool missing;
  };
  const Case cases[] = {
      {"live while recording", Phase::recording, live, "録音中 · 00:12", "record.circle.fill", true, false},
      {"live while paused", Phase::paused, live, "一時停止中", "pause.circle.fill", false, false},
      {"live while stopping", Phase::stopping, live, "録音中 · 00:12", "record.circle.fill", false, false},
      {"date only, no recording", Phase::recording, plain.id, "2025/03/03 9:05", "", false, true},
      {"date and duration", Phase::recording, timed.id, "2025/03/03 9:06 · 12:34", "", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    model().setPhase(c.phase);
    EXPECT_EQ(role(c.id, SessionListModel::DetailRole).toString(), c.detail);
    EXPECT_EQ(role(c.id, SessionListModel::SymbolRole).toString(), c.symbol);
    EXPECT_EQ(role(c.id, SessionListModel::PulsingRole).toBool(), c.pulsing);
    EXPECT_EQ(role(c.id, SessionListModel::MissingRecordingRole).toBool(), c.missing);
    EXPECT_EQ(role(c.id, SessionListModel::LiveRole).toBool(), c.id == live);
  }
  model().setPhase(Phase::recording);
  EXPECT_TRUE(list().pulsing());
  model().setPhase(Phase::paused);
  EXPECT_FALSE(list().pulsing());

  // The running time reaches the live row as it counts.
  model().setPhase(Phase::recording);
  clock_->advance(2);
  EXPECT_EQ(role(live, SessionListModel::DetailRole).toString(), "録音中 · 00:14");
}

TEST_F(SessionListTest, MissingRecordingSymbolExplainsItself) {
  const VoiceSession plain = stored("録音なし", kMarch3, {}, false);
  const VoiceSession recorded = stored("録音あり", kMarch3 + 1);
  list();
  QListView* view = list().view();
  auto tipAt = [&](const QUuid& id, bool onSymbol) {
    QStyleOptionViewItem option;
    option.initFrom(view);
    option.rect = view->visualRect(rowOf(id));
    const QRect symbol = list().delegate()->missingRecordingRect(option, rowOf(id));
    const QPoint at = onSymbol ? symbol.center() : option.rect.topLeft() + QPoint(20, 15);
    QToolTip::hideText();
    QHelpEvent help(QEvent::ToolTip, at, view->viewport()->mapToGlobal(at));
    QCoreApplication::sendEvent(view->viewport(), &help);
    return std::make_pair(symbol, QToolTip::isVisible() ? QToolTip::text() : QString());
  };
  // Off the symbol first: a shown tip takes a moment to go again.
  EXPECT_EQ(tipAt(plain.id, false).second, "");
  const auto onSymbol = tipAt(plain.id, true);
  EXPECT_FALSE(onSymbol.first.isNull());
  EXPECT_EQ(onSymbol.second, "録音を取り込んでいません");
  EXPECT_TRUE(tipAt(recorded.id, true).first.isNull());
  QToolTip::hideText();
}

TEST_F(SessionListTest, LongAndBrokenTitlesKeepRowsOneLineHigh) {
  const VoiceSession plain = stored("短い", kMarch3);
  const VoiceSession broken = stored("一行目\n二行目", kMarch3 + 1);
  const VoiceSession longTitle = stored(std::string(500, 'W'), kMarch3 + 2);
  list();
  const int height = list().view()->visualRect(rowOf(plain.id)).height();
  for (const QUuid& id : {broken.id, longTitle.id}) {
    EXPECT_EQ(list().view()->visualRect(rowOf(id)).height(), height);
    EXPECT_EQ(list().view()->visualRect(rowOf(id)).width(), list().view()->viewport()->width());
  }
  EXPECT_EQ(role(longTitle.id, Qt::DisplayRole).toString().size(), 500);
  EXPECT_EQ(list().view()->horizontalScrollBar()->isVisible(), false);
  // Painting the rows must not fail on them.
  EXPECT_FALSE(list().grab().isNull());
}

TEST_F(SessionListTest, ClickingARowSelectsIt) {
  const VoiceSession older = stored("古い", kMarch3);
  const VoiceSession newer = stored("新しい", kMarch3 + 1);
  EXPECT_EQ(model().selectedID(), newer.id);
  const QRect row = list().view()->visualRect(rowOf(older.id));
  QTest::mouseClick(list().view()->viewport(), Qt::LeftButton, {}, row.center());
  EXPECT_EQ(model().selectedID(), older.id);
  EXPECT_TRUE(role(older.id, SessionListModel::SelectedRole).toBool());
  EXPECT_FALSE(role(newer.id, SessionListModel::SelectedRole).toBool());
}

TEST_F(SessionListTest, ContextMenuOffersWhatTheRowAllows) {
  const VoiceSession plain = stored("録音なし", kMarch3, {testing::sentence("こんにちは")}, false);
  const VoiceSession recorded = stored("録音あり", kMarch3 + 1);
  record();
  const QUuid live = *model().liveID();

  struct Case {
    const char* name;
    QUuid id;
    std::vector<std::string> items;
    bool deletable;
  };
  const Case cases[] = {
      {"without a recording", plain.id,
       {"文字起こしをコピー", "フォルダで表示", "録音を探す", "—", "VELTO VOICEから削除…"}, true},
      {"with a recording", recorded.id, {"文字起こしをコピー", "フォルダで表示", "—", "VELTO VOICEから削除…"}, true},
      {"the live one", live, {"文字起こしをコピー", "フォルダで表示", "—", "VELTO VOICEから削除…"}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<QMenu> menu = list().contextMenu(c.id);
    ASSERT_TRUE(menu);
    EXPECT_EQ(actionTexts(*menu), c.items);
    EXPECT_EQ(action(*menu, "VELTO VOICEから削除…")->isEnabled(), c.deletable);
  }
  EXPECT_FALSE(list().contextMenu(QUuid::createUuid()));

  std::unique_ptr<QMenu> menu = list().contextMenu(plain.id);
  action(*menu, "文字起こしをコピー")->trigger();
  ASSERT_TRUE(clipboard_->text.has_value());
  EXPECT_NE(clipboard_->text->find("こんにちは"), std::string::npos);
  action(*menu, "フォルダで表示")->trigger();
  ASSERT_EQ(desktop_->calls.size(), 1u);
  EXPECT_EQ(desktop_->calls[0], "show " + (root_.path() / "Sessions" / (LiveModel::idText(plain.id) + ".md")).string());
}

TEST_F(SessionListTest, FindRecordingLooksInTheVoiceMemosLibrary) {
  const VoiceSession plain = stored("録音なし", kMarch3, {testing::sentence("こんにちは")}, false);
  std::unique_ptr<QMenu> menu = list().contextMenu(plain.id);
  QAction* find = action(*menu, "録音を探す");
  ASSERT_NE(find, nullptr);
  find->trigger();
  EXPECT_EQ(model().notice(), std::nullopt);
  // This test's home has no Voice Memos library: one search, one pause, then the notice.
  clock_->advance(1.0);
  ASSERT_TRUE(model().notice());
  EXPECT_EQ(model().notice()->text, "この会話の録音がボイスメモに見つかりませんでした。");
  EXPECT_EQ(model().session(plain.id)->audioFile, std::nullopt);
}

class SessionListDeletionTest : public SessionListTest {
 protected:
  void SetUp() override {
    older_ = stored("古い会議", kMarch3, {}, true);
    doomed_ = stored("消す会議", kMarch3 + 1, {}, true);
    fs::create_directories(root_.path() / "Audio");
    std::ofstream(root_.path() / "Audio" / *doomed_.audioFile) << "audio";
  }

  QMessageBox* ask() {
    std::unique_ptr<QMenu> menu = list().contextMenu(doomed_.id);
    action(*menu, "VELTO VOICEから削除…")->trigger();
    QMessageBox* box = list().confirmation();
    EXPECT_NE(box, nullptr);
    EXPECT_TRUE(list().confirmDelete().has_value());
    return box;
  }

  QAbstractButton* deleteButton(QMessageBox* box) {
    for (QAbstractButton* button : box->buttons()) {
      if (box->buttonRole(button) == QMessageBox::DestructiveRole) return button;
    }
    return nullptr;
  }

  bool doomedExists() { return model().session(doomed_.id) != nullptr; }

  VoiceSession older_;
  VoiceSession doomed_;
};

TEST_F(SessionListDeletionTest, DialogAsksWithTheTitleAndDeletesOnConfirm) {
  QMessageBox* box = ask();
  EXPECT_EQ(box->text(), "「消す会議」をVELTO VOICEから削除しますか？");
  EXPECT_EQ(box->informativeText(), "文字起こしと、VELTO VOICEにコピーした録音を消します。ボイスメモの録音は消えません。");
  QAbstractButton* remove = deleteButton(box);
  ASSERT_NE(remove, nullptr);
  EXPECT_EQ(remove->text(), "削除");
  EXPECT_NE(box->escapeButton(), remove);

  QTest::mouseClick(remove, Qt::LeftButton);
  QCoreApplication::processEvents();
  EXPECT_FALSE(doomedExists());
  EXPECT_FALSE(list().confirmDelete().has_value());
  EXPECT_EQ(list().confirmation(), nullptr);
  EXPECT_FALSE(fs::exists(root_.path() / "Audio" / *doomed_.audioFile));
  EXPECT_FALSE(fs::exists(SessionStore::inFolder(root_.path()).conversationFile(doomed_.id)));
  EXPECT_EQ(shownTitles(), (std::vector<std::string>{"古い会議"}));
  EXPECT_EQ(model().selectedID(), older_.id);
}

TEST_F(SessionListDeletionTest, CancelAndEscapeKeepEverything) {
  struct Case {
    const char* name;
    std::function<void(QMessageBox*)> answer;
  };
  const Case cases[] = {
      {"cancel", [](QMessageBox* box) { QTest::mouseClick(box->escapeButton(), Qt::LeftButton); }},
      {"escape", [](QMessageBox* box) { QTest::keyClick(box, Qt::Key_Escape); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QMessageBox* box = ask();
    c.answer(box);
    QCoreApplication::processEvents();
    EXPECT_TRUE(doomedExists());
    EXPECT_FALSE(list().confirmDelete().has_value());
    EXPECT_EQ(list().confirmation(), nullptr);
    EXPECT_TRUE(fs::exists(root_.path() / "Audio" / *doomed_.audioFile));
  }
}

TEST_F(SessionListDeletionTest, ARefusedDeletionStillClosesTheDialog) {
  QMessageBox* box = ask();
  // The conversation became the live one after the question opened.
  model().setLiveID(doomed_.id);
  QTest::mouseClick(deleteButton(box), Qt::LeftButton);
  QCoreApplication::processEvents();
  EXPECT_TRUE(doomedExists());
  EXPECT_FALSE(list().confirmDelete().has_value());
  EXPECT_EQ(list().confirmation(), nullptr);
  model().setLiveID(std::nullopt);
}

TEST_F(SessionListDeletionTest, ListClosingWithTheQuestionOpenDeletesNothing) {
  ask();
  tester_.reset();
  list_.reset();
  QCoreApplication::processEvents();
  EXPECT_TRUE(doomedExists());
}

TEST_F(SessionListDeletionTest, DeletingTheHoveredSelectedRowMovesTheSelection) {
  model().setSelectedID(doomed_.id);
  const QRect row = list().view()->visualRect(rowOf(doomed_.id));
  QTest::mouseMove(list().view()->viewport(), row.center());
  model().deleteSession(doomed_.id);
  QTest::mouseMove(list().view()->viewport(), row.center() + QPoint(1, 1));
  QCoreApplication::processEvents();
  EXPECT_EQ(model().selectedID(), older_.id);
  EXPECT_EQ(shownTitles(), (std::vector<std::string>{"古い会議"}));
  EXPECT_TRUE(role(older_.id, SessionListModel::SelectedRole).toBool());
  EXPECT_FALSE(list().grab().isNull());
}

TEST_F(SessionListTest, TenThousandConversationsListAndFilter) {
  for (int i = 0; i < 10000; ++i) {
    VoiceSession session;
    session.title = i % 1000 == 0 ? "Résumé " + std::to_string(i) : "会話 " + std::to_string(i);
    session.startedAt = kMarch3 - i;
    model().insertSession(model().sessionCount(), session);
  }
  EXPECT_EQ(list().model()->rowCount(), 10000);
  search("resume");
  EXPECT_EQ(list().model()->rowCount(), 10);
  search("");
  EXPECT_EQ(list().model()->rowCount(), 10000);
  list().view()->scrollToBottom();
  EXPECT_FALSE(list().grab().isNull());
}

}  // namespace
}  // namespace veltovoice
