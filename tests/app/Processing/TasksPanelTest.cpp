#include "app/Processing/TasksPanel.h"

#include <functional>
#include <map>
#include <optional>
#include <utility>
#include <memory>
#include <string>
#include <vector>

#include <QAbstractButton>
#include <QAction>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QToolButton>
#include <gtest/gtest.h>

#include "app/Processing/MinutesPanel.h"
#include "app/Processing/TaskDrag.h"
#include "app/Processing/TaskRow.h"
#include "app/Shell/WrappedText.h"
#include "tests/app/Processing/PanelFixture.h"

namespace veltovoice {
namespace {

using testing::dragOver;
using testing::dropOn;
using testing::sentence;
using testing::task;
using testing::textMime;

const std::string kNotReady = "言語モデルのサーバーが応答しません。サーバーが動いているか確かめて、もう一度試してください。";

// ---- Which tasks are listed ---------------------------------------------------------------------

// "title@depth" for a row with children marked "+".
std::vector<std::string> shape(const std::vector<TasksPanel::Row>& rows) {
  std::vector<std::string> lines;
  for (const auto& row : rows) {
    lines.push_back(row.task.title + "@" + std::to_string(row.depth) + (row.hasChildren ? "+" : ""));
  }
  return lines;
}

TEST(TasksPanelRowsTest, DepthFirstWithoutCollapsedSubtreesThenOrphans) {
  // Tasks named by title; a parent is given by its title ("" for a root, "?" for a missing one).
  struct Entry {
    Entry(std::string title, std::string parent, std::optional<bool> collapsed = std::nullopt)
        : title(std::move(title)), parent(std::move(parent)), collapsed(collapsed) {}
    std::string title;
    std::string parent;
    std::optional<bool> collapsed;
  };
  struct Case {
    const char* name;
    std::vector<Entry> tasks;
    std::vector<std::string> rows;
  };
  const Case cases[] = {
      {"children anywhere in the list follow their parent",
       {{"A", ""}, {"B", ""}, {"B1", "B"}, {"A1", "A"}, {"A1a", "A1"}, {"A2", "A"}},
       {"A@0+", "A1@1+", "A1a@2", "A2@1", "B@0+", "B1@1"}},
      {"a collapsed parent hides its whole subtree",
       {{"A", "", true}, {"A1", "A"}, {"A1a", "A1"}, {"B", ""}},
       {"A@0+", "B@0"}},
      {"collapsed false or absent shows the children",
       {{"A", "", false}, {"A1", "A", true}, {"A1a", "A1"}, {"B", ""}, {"B1", "B"}},
       {"A@0+", "A1@1+", "B@0+", "B1@1"}},
      {"an orphan comes last at the top level, without its children",
       {{"O", "?"}, {"O1", "O"}, {"A", ""}},
       {"A@0", "O@0"}},
      {"a parent cycle is not listed",
       {{"A", ""}, {"X", "Y"}, {"Y", "X"}, {"X1", "X"}},
       {"A@0"}},
      {"a task that names itself as parent is not listed",
       {{"S", "S"}, {"A", ""}},
       {"A@0"}},
      {"empty", {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::map<std::string, QUuid> ids;
    for (const Entry& entry : c.tasks) ids[entry.title] = QUuid::createUuid();
    std::vector<TaskItem> tasks;
    for (const Entry& entry : c.tasks) {
      TaskItem item = task(entry.title);
      item.id = ids[entry.title];
      if (entry.parent == "?") {
        item.parentID = QUuid::createUuid();
      } else if (!entry.parent.empty()) {
        item.parentID = ids[entry.parent];
      }
      item.collapsed = entry.collapsed;
      tasks.push_back(item);
    }
    EXPECT_EQ(shape(TasksPanel::visibleRows(tasks)), c.rows);
  }
}

TEST(TasksPanelRowsTest, ADeepChainAndRepeatedIdsEnd) {
  std::vector<TaskItem> chain;
  for (int i = 0; i < 20000; ++i) {
    chain.push_back(task("T" + std::to_string(i), chain.empty() ? std::nullopt : std::optional(chain.back().id)));
  }
  const auto rows = TasksPanel::visibleRows(chain);
  ASSERT_EQ(rows.size(), chain.size());
  EXPECT_EQ(rows.back().depth, 19999);

  // A damaged list holding the same id twice, the copy naming the first as its parent.
  TaskItem first = task("A");
  TaskItem copy = first;
  copy.parentID = first.id;
  EXPECT_EQ(shape(TasksPanel::visibleRows({first, copy})), std::vector<std::string>{"A@0+"});
}

// ---- The panel ----------------------------------------------------------------------------------

class TasksPanelTest : public testing::PanelTest {
 protected:
  // The titles of the rows on screen, in order.
  static std::vector<std::string> rowTitles(const TasksPanel& panel) {
    std::vector<std::string> titles;
    for (const TaskRow* row : panel.rows()) titles.push_back(row->task().title);
    return titles;
  }
};

TEST_F(TasksPanelTest, CountShowsOpenLeavesOnly) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, bool>> children;  // of one open parent: title, done
    bool parentDone;
    QString count;  // empty: no count shown
  };
  const Case cases[] = {
      {"open parent, one done and one open child", {{"済", true}, {"未", false}}, false, QStringLiteral("1")},
      {"only done tasks", {{"済", true}}, true, QStringLiteral("0")},
      {"a done parent with open children", {{"未1", false}, {"未2", false}}, true, QStringLiteral("2")},
      {"a lone open task", {}, false, QStringLiteral("1")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TaskItem parent = task("親");
    parent.done = c.parentDone;
    std::vector<TaskItem> tasks = {parent};
    for (const auto& [title, done] : c.children) {
      TaskItem child = task(title, parent.id);
      child.done = done;
      tasks.push_back(child);
    }
    window_.reset();
    model_.reset();
    TasksPanel& panel = show<TasksPanel>(storeTasks(tasks));
    EXPECT_TRUE(panel.countLabel()->isVisible());
    EXPECT_EQ(panel.countLabel()->text(), c.count);
  }
  window_.reset();
  model_.reset();
  TasksPanel& empty = show<TasksPanel>(storeTasks({}));
  EXPECT_FALSE(empty.countLabel()->isVisible());
}

TEST_F(TasksPanelTest, EmptyStatesInOrder) {
  struct Case {
    const char* name;
    bool available;
    bool recording;
    bool scanned;
    bool sentences;
    QString text;  // empty: the extract button instead
  };
  const Case cases[] = {
      {"model unavailable, first of all", false, true, false, true, QString::fromStdString(kNotReady)},
      {"being recorded", true, true, false, true, QStringLiteral("会話からやることが見つかると、ここに出ます。")},
      {"never scanned, with sentences", true, false, false, true, QString()},
      {"never scanned, no sentences", true, false, false, false, QStringLiteral("タスクは見つかりませんでした。")},
      {"scanned and nothing found", true, false, true, true, QStringLiteral("タスクは見つかりませんでした。")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    window_.reset();
    model_.reset();
    setLanguageModelAvailable(c.available);
    VoiceSession session;
    if (c.sentences) session.segments = {sentence("議題を決めましょう。", 1)};
    if (c.scanned) session.tasksScannedThrough = 1;
    const QUuid id = store(session);
    if (c.recording) model().setLiveID(id);
    TasksPanel& panel = show<TasksPanel>(id);
    EXPECT_FALSE(panel.rootDropZone()->isVisible());
    EXPECT_FALSE(panel.countLabel()->isVisible());
    EXPECT_EQ(panel.emptyText()->isVisible(), !c.text.isEmpty());
    EXPECT_EQ(panel.extractButton()->isVisible(), c.text.isEmpty());
    if (!c.text.isEmpty()) {
      EXPECT_EQ(panel.emptyText()->text(), c.text);
    }
  }
}

TEST_F(TasksPanelTest, ExtractButtonAsksTheModel) {
  const QUuid id = store([] {
    VoiceSession session;
    session.segments = {sentence("議題を決めましょう。", 1)};
    return session;
  }());
  TasksPanel& panel = show<TasksPanel>(id);
  ASSERT_TRUE(panel.extractButton()->isVisible());
  // The model learns of the unavailable language model only when asked, and says so.
  setLanguageModelAvailable(false);
  panel.extractButton()->click();
  ASSERT_TRUE(model().notice());
  EXPECT_EQ(model().notice()->text, kNotReady);
  panel.refresh();
  EXPECT_EQ(panel.emptyText()->text(), QString::fromStdString(kNotReady));
  EXPECT_FALSE(panel.extractButton()->isVisible());
}

TEST_F(TasksPanelTest, MenuEntriesEnabledAsTheTreeAllows) {
  struct Case {
    const char* name;
    int tasks;
    bool recording;
    bool regroup;
    bool reextract;
    bool copy;
  };
  const Case cases[] = {
      {"no tasks", 0, false, false, true, false},
      {"one task", 1, false, false, true, true},
      {"two tasks", 2, false, true, true, true},
      {"being recorded", 2, true, true, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    window_.reset();
    model_.reset();
    std::vector<TaskItem> tasks;
    for (int i = 0; i < c.tasks; ++i) tasks.push_back(task("T" + std::to_string(i)));
    const QUuid id = storeTasks(tasks);
    if (c.recording) model().setLiveID(id);
    TasksPanel& panel = show<TasksPanel>(id);
    QStringList texts;
    for (const QAction* action : panel.menuButton()->menu()->actions()) {
      texts << (action->isSeparator() ? QStringLiteral("-") : action->text());
    }
    EXPECT_EQ(texts, (QStringList{"ツリーにまとめ直す", "タスクを抜き出し直す", "-", "すべて開く", "すべて閉じる", "-",
                                  "タスクをコピー"}));
    EXPECT_EQ(panel.regroupAction()->isEnabled(), c.regroup);
    EXPECT_EQ(panel.reextractAction()->isEnabled(), c.reextract);
    EXPECT_TRUE(panel.expandAllAction()->isEnabled());
    EXPECT_TRUE(panel.collapseAllAction()->isEnabled());
    EXPECT_EQ(panel.copyAction()->isEnabled(), c.copy);
    EXPECT_FALSE(panel.busyIndicator()->isVisible());
  }
}

TEST_F(TasksPanelTest, CopyPutsTheOutlineOnTheClipboard) {
  TaskItem root = task("資料");
  root.done = true;
  TaskItem child = task("送付", root.id);
  child.assignee = "佐藤";
  TasksPanel& panel = show<TasksPanel>(storeTasks({root, child}));
  panel.copyAction()->trigger();
  EXPECT_EQ(clipboard_->text, "- [x] 資料\n  - [ ] 送付（佐藤）");
}

TEST_F(TasksPanelTest, ExpandAndCollapseAllChangeParentsOnly) {
  TaskItem a = task("A");
  TaskItem a1 = task("A1", a.id);
  a1.collapsed = true;  // a leaf's own value stays
  TaskItem b = task("B");
  TaskItem c = task("C");
  TaskItem c1 = task("C1", c.id);
  const QUuid id = storeTasks({a, a1, b, c, c1});
  TasksPanel& panel = show<TasksPanel>(id);

  panel.collapseAllAction()->trigger();
  EXPECT_EQ(rowTitles(panel), (std::vector<std::string>{"A", "B", "C"}));
  panel.expandAllAction()->trigger();
  EXPECT_EQ(rowTitles(panel), (std::vector<std::string>{"A", "A1", "B", "C", "C1"}));

  const VoiceSession saved = stored(id);
  ASSERT_TRUE(saved.tasks);
  std::vector<std::optional<bool>> collapsed;
  for (const TaskItem& item : *saved.tasks) collapsed.push_back(item.collapsed);
  EXPECT_EQ(collapsed, (std::vector<std::optional<bool>>{false, true, std::nullopt, false, std::nullopt}))
      << "expanding stores false";
}

TEST_F(TasksPanelTest, TopLevelZoneTakesATaskToTheEndOfTheTopLevel) {
  QImage image(4, 4, QImage::Format_RGB32);
  image.fill(Qt::green);
  struct Case {
    const char* name;
    std::function<QMimeData*(const std::map<std::string, QUuid>&)> payload;
    bool accepted;
    std::vector<std::string> outline;
  };
  const std::vector<std::string> unchanged = {"- [ ] A", "  - [ ] A1", "    - [ ] A1a", "- [ ] B"};
  const Case cases[] = {
      {"a nested task", [](const auto& ids) { return TaskDrag::mimeData(ids.at("A1")); }, true,
       {"- [ ] A", "- [ ] B", "- [ ] A1", "  - [ ] A1a"}},
      {"a top-level task", [](const auto& ids) { return TaskDrag::mimeData(ids.at("A")); }, true,
       {"- [ ] B", "- [ ] A", "  - [ ] A1", "    - [ ] A1a"}},
      {"the last top-level task", [](const auto& ids) { return TaskDrag::mimeData(ids.at("B")); }, true, unchanged},
      {"text that is no task", [](const auto&) { return textMime(QStringLiteral("いちばん上へ")); }, true, unchanged},
      {"an unknown id", [](const auto&) { return TaskDrag::mimeData(QUuid::createUuid()); }, true, unchanged},
      {"an image", [&](const auto&) {
         auto* mime = new QMimeData;
         mime->setImageData(image);
         return mime;
       }, false, unchanged},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    window_.reset();
    model_.reset();
    TaskItem a = task("A");
    TaskItem a1 = task("A1", a.id);
    TaskItem a1a = task("A1a", a1.id);
    TaskItem b = task("B");
    const std::map<std::string, QUuid> ids = {{"A", a.id}, {"A1", a1.id}, {"B", b.id}};
    const QUuid id = storeTasks({a, a1, a1a, b});
    TasksPanel& panel = show<TasksPanel>(id);
    ASSERT_TRUE(panel.rootDropZone()->isVisible());
    const std::unique_ptr<QMimeData> mime(c.payload(ids));
    const QPoint middle = panel.rootDropZone()->rect().center();
    EXPECT_EQ(dropOn(panel.rootDropZone(), mime.get(), middle), c.accepted);
    EXPECT_FALSE(panel.rootDropTargeted());
    testsupport::settleEvents();
    EXPECT_EQ(outline(id), c.outline);
  }
}

TEST_F(TasksPanelTest, TopLevelZoneShowsTheHover) {
  TaskItem a = task("A");
  TasksPanel& panel = show<TasksPanel>(storeTasks({a}));
  EXPECT_EQ(panel.rootDropText(), QStringLiteral(" "));
  EXPECT_GE(panel.rootDropZone()->height(), 28);
  const std::unique_ptr<QMimeData> mime(TaskDrag::mimeData(a.id));
  ASSERT_TRUE(dragOver(panel.rootDropZone(), mime.get(), QPoint(5, 5)));
  EXPECT_TRUE(panel.rootDropTargeted());
  EXPECT_EQ(panel.rootDropText(), QStringLiteral("一番上の階層へ移動"));
  QDragLeaveEvent leave;
  QCoreApplication::sendEvent(panel.rootDropZone(), &leave);
  EXPECT_FALSE(panel.rootDropTargeted());
  EXPECT_EQ(panel.rootDropText(), QStringLiteral(" "));

  const std::unique_ptr<QMimeData> none(new QMimeData);
  EXPECT_FALSE(dragOver(panel.rootDropZone(), none.get(), QPoint(5, 5)));
  EXPECT_FALSE(panel.rootDropTargeted());
}

TEST_F(TasksPanelTest, AddButtonFocusesTheNewLastTopLevelTask) {
  TaskItem a = task("A");
  TaskItem a1 = task("A1", a.id);
  const QUuid id = storeTasks({a, a1});
  TasksPanel& panel = show<TasksPanel>(id);
  panel.addButton()->click();
  const std::vector<TaskItem> tasks = tasksOf(id);
  ASSERT_EQ(tasks.size(), 3u);
  EXPECT_EQ(tasks.back().parentID, std::nullopt);
  EXPECT_TRUE(tasks.back().manual);
  EXPECT_EQ(panel.focusTask(), tasks.back().id);
  ASSERT_EQ(panel.rows().size(), 3u);
  TaskRow* added = panel.rows().back();
  EXPECT_EQ(added->task().id, tasks.back().id);
  EXPECT_TRUE(testsupport::processEventsUntil([added] { return added->focused(); }));
  EXPECT_EQ(added->titleField()->placeholderText(), QStringLiteral("やること"));
}

TEST_F(TasksPanelTest, TheLastAddedTaskTakesTheFocusAgainWhenShownAgain) {
  TaskItem a = task("A");
  TaskItem a1 = task("A1", a.id);
  TaskItem b = task("B");
  const QUuid id = storeTasks({a, a1, b});
  TasksPanel& panel = show<TasksPanel>(id);
  QPlainTextEdit* field = panel.row(a1.id)->titleField();
  field->setFocus();
  ASSERT_TRUE(testsupport::processEventsUntil([field] { return field->hasFocus(); }));
  QTest::keyClick(field, Qt::Key_Return);
  const std::optional<QUuid> added = panel.focusTask();
  ASSERT_TRUE(added);
  ASSERT_TRUE(testsupport::processEventsUntil([&] { return panel.row(*added)->focused(); }));
  // An empty task that loses the focus is deleted: give it a title.
  testing::typeInto(panel.row(*added)->titleField(), QStringLiteral("追加"));

  QPlainTextEdit* other = panel.row(b.id)->titleField();
  other->setFocus();
  ASSERT_TRUE(testsupport::processEventsUntil([other] { return other->hasFocus(); }));
  panel.row(a.id)->chevron()->click();
  EXPECT_EQ(panel.row(*added), nullptr);
  panel.row(a.id)->chevron()->click();
  TaskRow* again = panel.row(*added);
  ASSERT_NE(again, nullptr);
  EXPECT_TRUE(testsupport::processEventsUntil([again] { return again->focused(); }));
}

TEST_F(TasksPanelTest, OtherChangesKeepTheRowsAndWhatIsBeingTyped) {
  TaskItem a = task("A");
  TaskItem b = task("B");
  const QUuid id = storeTasks({a, b});
  const QUuid other = storeTasks({task("よそ")});
  TasksPanel& panel = show<TasksPanel>(id);
  TaskRow* typing = panel.row(b.id);
  QPlainTextEdit* field = typing->titleField();
  field->setFocus();
  ASSERT_TRUE(testsupport::processEventsUntil([field] { return field->hasFocus(); }));
  field->selectAll();
  testing::typeInto(field, QStringLiteral("書きかけ"));

  model().setJob(other, "タスクを抜き出しています…");
  model().setJob(other, std::nullopt);
  model().updateTask(other, tasksOf(other)[0].id, [](TaskItem& item) { item.title = "よそ2"; });
  model().updateTask(id, a.id, [](TaskItem& item) { item.done = true; });

  EXPECT_EQ(panel.row(b.id), typing);
  EXPECT_TRUE(typing->focused());
  EXPECT_EQ(typing->title(), QStringLiteral("書きかけ"));
  EXPECT_EQ(tasksOf(id)[1].title, "B") << "nothing committed yet";
}

TEST_F(TasksPanelTest, FollowsTheSelectionUntilGivenAConversation) {
  VoiceSession older;
  older.startedAt = 100;
  older.tasks = std::vector<TaskItem>{task("古い会話のタスク")};
  VoiceSession newer;
  newer.startedAt = 200;
  newer.tasks = std::vector<TaskItem>{task("新しい会話のタスク")};
  const QUuid olderID = store(older);
  const QUuid newerID = store(newer);
  TasksPanel panel(model(), player());
  MinutesPanel minutes(model(), player());
  EXPECT_EQ(panel.sessionID(), newerID) << "the newest is selected at start";
  EXPECT_EQ(rowTitles(panel), std::vector<std::string>{"新しい会話のタスク"});

  model().setSelectedID(olderID);
  EXPECT_EQ(panel.sessionID(), olderID);
  EXPECT_EQ(minutes.sessionID(), olderID);
  EXPECT_EQ(rowTitles(panel), std::vector<std::string>{"古い会話のタスク"});

  panel.setSessionID(newerID);
  model().setSelectedID(newerID);
  model().setSelectedID(olderID);
  EXPECT_EQ(panel.sessionID(), newerID) << "a given conversation stays";
  EXPECT_EQ(rowTitles(panel), std::vector<std::string>{"新しい会話のタスク"});
}

TEST_F(TasksPanelTest, AShownConversationThatGoesLeavesAnEmptyPanel) {
  TaskItem a = task("A");
  const QUuid id = storeTasks({a});
  TasksPanel& panel = show<TasksPanel>(id);
  ASSERT_EQ(panel.rows().size(), 1u);
  model().deleteSession(id);
  testsupport::settleEvents();
  EXPECT_TRUE(panel.rows().empty());
  EXPECT_TRUE(panel.emptyText()->isVisible());
}

}  // namespace
}  // namespace veltovoice
