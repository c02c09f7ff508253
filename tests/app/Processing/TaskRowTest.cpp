#include "app/Processing/TaskRow.h"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <QAbstractButton>
#include <QAction>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QTest>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/Editor/VeltoToolsDesign.h"
#include "app/Processing/TaskDrag.h"
#include "app/Processing/TasksPanel.h"
#include "platform/text/Graphemes.h"
#include "tests/app/Processing/PanelFixture.h"

namespace veltovoice {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using testing::dragOver;
using testing::dropOn;
using testing::sentence;
using testing::task;
using testing::textMime;

std::string idText(const QUuid& id) { return LiveModel::idText(id); }

// ---- The drag payload ---------------------------------------------------------------------------

TEST(TaskDragTest, PayloadIsTheUpperCaseIdAsPlainText) {
  testing::widgetApplication();
  const QUuid id = QUuid::createUuid();
  const std::unique_ptr<QMimeData> mime(TaskDrag::mimeData(id));
  EXPECT_TRUE(mime->hasText());
  EXPECT_EQ(mime->text().toStdString(), idText(id));
  EXPECT_EQ(TaskDrag::parse(mime->text()), id);
}

TEST(TaskDragTest, ParsesOnlyTheHyphenatedUuidForm) {
  const QUuid id = QUuid::fromString(QStringLiteral("6F1C2B9E-3A4D-4E5F-8A9B-0C1D2E3F4A5B"));
  struct Case {
    const char* name;
    QString text;
    std::optional<QUuid> expected;
  };
  const Case cases[] = {
      {"upper case", QStringLiteral("6F1C2B9E-3A4D-4E5F-8A9B-0C1D2E3F4A5B"), id},
      {"lower case", QStringLiteral("6f1c2b9e-3a4d-4e5f-8a9b-0c1d2e3f4a5b"), id},
      {"braces", QStringLiteral("{6F1C2B9E-3A4D-4E5F-8A9B-0C1D2E3F4A5B}"), std::nullopt},
      {"blank around", QStringLiteral(" 6F1C2B9E-3A4D-4E5F-8A9B-0C1D2E3F4A5B"), std::nullopt},
      {"line feed after", QStringLiteral("6F1C2B9E-3A4D-4E5F-8A9B-0C1D2E3F4A5B\n"), std::nullopt},
      {"no hyphens", QStringLiteral("6F1C2B9E3A4D4E5F8A9B0C1D2E3F4A5B"), std::nullopt},
      {"not hexadecimal", QStringLiteral("6F1C2B9E-3A4D-4E5F-8A9B-0C1D2E3F4A5G"), std::nullopt},
      {"words", QStringLiteral("資料を送る"), std::nullopt},
      {"empty", QString(), std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(TaskDrag::parse(c.text), c.expected);
  }
}

TEST(TaskDragTest, AcceptsTextAtOnceAndHandsTheIdOverOnTheNextTurn) {
  testing::widgetApplication();
  const QUuid id = QUuid::createUuid();
  QImage image(4, 4, QImage::Format_RGB32);
  image.fill(Qt::red);
  struct Case {
    const char* name;
    std::function<QMimeData*()> make;
    bool accepted;
    std::optional<QUuid> handed;
  };
  const Case cases[] = {
      {"task id", [&] { return TaskDrag::mimeData(id); }, true, id},
      {"other text", [] { return textMime(QStringLiteral("買い物")); }, true, std::nullopt},
      {"image", [&] {
         auto* mime = new QMimeData;
         mime->setImageData(image);
         return mime;
       }, false, std::nullopt},
      {"nothing", [] { return new QMimeData; }, false, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<QUuid> handed;
    bool accepted = false;
    {
      const std::unique_ptr<QMimeData> mime(c.make());
      accepted = TaskDrag::load(mime.get(), [&handed](const QUuid& dragged) { handed.push_back(dragged); });
    }
    EXPECT_EQ(accepted, c.accepted);
    EXPECT_TRUE(handed.empty()) << "handed over before the drop returned";
    testsupport::settleEvents();
    if (c.handed) {
      EXPECT_THAT(handed, ElementsAre(*c.handed));
    } else {
      EXPECT_TRUE(handed.empty());
    }
  }
}

// ---- Rows in a real tasks panel -----------------------------------------------------------------

// A panel over a conversation whose tree is A (A1, A2), B, C.
class TaskRowTest : public testing::PanelTest {
 protected:
  void SetUp() override {
    TaskItem a = task("A");
    a_ = a.id;
    TaskItem a1 = task("A1", a.id);
    TaskItem a2 = task("A2", a.id);
    TaskItem b = task("B");
    TaskItem c = task("C");
    a1_ = a1.id;
    a2_ = a2.id;
    b_ = b.id;
    c_ = c.id;
    id_ = storeTasks({a, a1, a2, b, c});
  }

  TasksPanel& panel() {
    if (!panel_) panel_ = &show<TasksPanel>(id_);
    return *panel_;
  }

  TaskRow& row(const QUuid& taskID) {
    TaskRow* found = panel().row(taskID);
    EXPECT_NE(found, nullptr);
    return *found;
  }

  // Gives the title field of `taskID` the keyboard focus.
  QPlainTextEdit* focus(const QUuid& taskID) {
    QPlainTextEdit* field = row(taskID).titleField();
    field->setFocus();
    EXPECT_TRUE(testsupport::processEventsUntil([field] { return field->hasFocus(); }));
    return field;
  }

  QUuid idOf(const std::string& name) const {
    const std::map<std::string, QUuid> ids = {{"A", a_}, {"A1", a1_}, {"A2", a2_}, {"B", b_}, {"C", c_}};
    return ids.at(name);
  }

  QUuid id_, a_, a1_, a2_, b_, c_;
  TasksPanel* panel_ = nullptr;
};

TEST_F(TaskRowTest, CommitTakesRealChangesOnly) {
  struct Case {
    const char* name;
    bool parent;  // edit A (with children) instead of B
    QString typed;
    std::optional<std::string> title;  // nothing: the task is gone
    bool manual;
    QString fieldAfter;
  };
  const Case cases[] = {
      {"white space at the ends only", false, QStringLiteral("  B \n"), "B", false, QStringLiteral("  B \n")},
      {"changed text", false, QStringLiteral("B を直す"), "B を直す", true, QStringLiteral("B を直す")},
      // The unfocused field then shows the model's new title.
      {"trimmed, ideographic space too", false, QStringLiteral("\u3000B2\t"), "B2", true, QStringLiteral("B2")},
      {"cleared leaf", false, QString(), std::nullopt, false, QString()},
      {"cleared parent", true, QStringLiteral(" \n "), "A", false, QStringLiteral("A")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const QUuid edited = c.parent ? a_ : b_;
    TaskRow& shown = row(edited);
    shown.titleField()->setPlainText(c.typed);
    shown.commit();
    std::optional<TaskItem> after;
    for (const TaskItem& item : tasksOf(id_)) {
      if (item.id == edited) after = item;
    }
    if (!c.title) {
      EXPECT_FALSE(after);
      EXPECT_EQ(panel().row(edited), nullptr);
      continue;
    }
    ASSERT_TRUE(after);
    EXPECT_EQ(after->title, *c.title);
    EXPECT_EQ(after->manual, c.manual);
    EXPECT_EQ(shown.title(), c.fieldAfter);
    // Put the title back for the next case.
    model().updateTask(id_, edited, [](TaskItem& item) { item.manual = false; });
    model().updateTask(id_, edited, [&](TaskItem& item) { item.title = c.parent ? "A" : "B"; });
    shown.titleField()->setPlainText(c.parent ? QStringLiteral("A") : QStringLiteral("B"));
  }
  // The edits reached the file.
  const VoiceSession saved = stored(id_);
  ASSERT_TRUE(saved.tasks);
  EXPECT_EQ(saved.tasks->size(), 4u);
}

TEST_F(TaskRowTest, KeysMoveIndentAndOutdentTheTask) {
  const std::vector<std::string> unchanged = {"- [ ] A", "  - [ ] A1", "  - [ ] A2", "- [ ] B", "- [ ] C"};
  struct Case {
    const char* name;
    const char* task;
    Qt::Key key;
    Qt::KeyboardModifiers modifiers;
    std::vector<std::string> outline;
  };
  const Case cases[] = {
      {"Tab indents", "B", Qt::Key_Tab, Qt::NoModifier,
       {"- [ ] A", "  - [ ] A1", "  - [ ] A2", "  - [ ] B", "- [ ] C"}},
      {"Ctrl-Tab still indents", "B", Qt::Key_Tab, Qt::ControlModifier,
       {"- [ ] A", "  - [ ] A1", "  - [ ] A2", "  - [ ] B", "- [ ] C"}},
      {"Shift-Tab outdents", "A2", Qt::Key_Backtab, Qt::ShiftModifier,
       {"- [ ] A", "  - [ ] A1", "- [ ] A2", "- [ ] B", "- [ ] C"}},
      {"Ctrl-Up moves up", "C", Qt::Key_Up, Qt::ControlModifier,
       {"- [ ] A", "  - [ ] A1", "  - [ ] A2", "- [ ] C", "- [ ] B"}},
      {"Ctrl-Alt-Up still moves up", "C", Qt::Key_Up, Qt::ControlModifier | Qt::AltModifier,
       {"- [ ] A", "  - [ ] A1", "  - [ ] A2", "- [ ] C", "- [ ] B"}},
      {"Ctrl-Down moves down with the subtree", "A", Qt::Key_Down, Qt::ControlModifier,
       {"- [ ] B", "- [ ] A", "  - [ ] A1", "  - [ ] A2", "- [ ] C"}},
      {"Up alone moves nothing", "C", Qt::Key_Up, Qt::NoModifier, unchanged},
      {"Down alone moves nothing", "A", Qt::Key_Down, Qt::NoModifier, unchanged},
      {"Shift-Return is the field's", "B", Qt::Key_Return, Qt::ShiftModifier, unchanged},
      {"Alt-Return is the field's", "B", Qt::Key_Return, Qt::AltModifier, unchanged},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // A fresh conversation for every case.
    window_.reset();
    model_.reset();
    panel_ = nullptr;
    SetUp();
    const QUuid moved = idOf(c.task);
    QPlainTextEdit* field = focus(moved);
    QTest::keyClick(field, c.key, c.modifiers);
    EXPECT_EQ(outline(id_), c.outline);
    EXPECT_EQ(tasksOf(id_).size(), 5u) << "no task added";
    TaskRow* after = panel().row(moved);
    ASSERT_NE(after, nullptr);
    EXPECT_TRUE(testsupport::processEventsUntil([after] { return after->focused(); }))
        << "the moved task keeps the focus";
    std::vector<QUuid> order;
    for (TaskRow* shown : panel().rows()) order.push_back(shown->task().id);
    std::vector<QUuid> expected;
    for (const auto& listed : TasksPanel::visibleRows(tasksOf(id_))) expected.push_back(listed.task.id);
    EXPECT_EQ(order, expected) << "rows follow the tree";
  }
}

TEST_F(TaskRowTest, ShiftReturnBreaksTheLineInTheField) {
  QPlainTextEdit* field = focus(b_);
  field->moveCursor(QTextCursor::End);
  QTest::keyClick(field, Qt::Key_Return, Qt::ShiftModifier);
  EXPECT_EQ(tasksOf(id_).size(), 5u);
  EXPECT_EQ(row(b_).title(), QStringLiteral("B\n"));
}

TEST_F(TaskRowTest, ReturnCommitsAndAddsAFocusedTaskBelow) {
  QPlainTextEdit* field = focus(a1_);
  field->setPlainText(QStringLiteral("A1 改"));
  QTest::keyClick(field, Qt::Key_Return);
  EXPECT_EQ(outline(id_), (std::vector<std::string>{"- [ ] A", "  - [ ] A1 改", "  - [ ] ", "  - [ ] A2", "- [ ] B",
                                                   "- [ ] C"}));
  const QUuid added = tasksOf(id_)[2].id;
  EXPECT_EQ(panel().focusTask(), added);
  TaskRow* shown = panel().row(added);
  ASSERT_NE(shown, nullptr);
  EXPECT_TRUE(testsupport::processEventsUntil([shown] { return shown->focused(); }));
}

TEST_F(TaskRowTest, ReturnOnAClearedLeafDeletesItAndAddsNothing) {
  QPlainTextEdit* field = focus(b_);
  field->clear();
  QTest::keyClick(field, Qt::Key_Return);
  testsupport::settleEvents();
  EXPECT_EQ(outline(id_), (std::vector<std::string>{"- [ ] A", "  - [ ] A1", "  - [ ] A2", "- [ ] C"}));
  EXPECT_EQ(panel().focusTask(), std::nullopt);
}

TEST_F(TaskRowTest, ReturnOnAClearedParentRestoresItAndAddsBelowItsSubtree) {
  QPlainTextEdit* field = focus(a_);
  field->clear();
  QTest::keyClick(field, Qt::Key_Return);
  EXPECT_EQ(outline(id_), (std::vector<std::string>{"- [ ] A", "  - [ ] A1", "  - [ ] A2", "- [ ] ", "- [ ] B",
                                                   "- [ ] C"}));
  EXPECT_EQ(row(a_).title(), QStringLiteral("A"));
  TaskRow* added = panel().row(*panel().focusTask());
  ASSERT_NE(added, nullptr);
  EXPECT_TRUE(testsupport::processEventsUntil([added] { return added->focused(); }));
}

TEST_F(TaskRowTest, ATaskDeletedUnderTheFocusedRowTakesReturnQuietly) {
  QPlainTextEdit* field = focus(b_);
  model().deleteTask(id_, b_);
  // The row is on its way out but its field still gets the key.
  QTest::keyClick(field, Qt::Key_Return);
  testsupport::settleEvents();
  EXPECT_EQ(outline(id_), (std::vector<std::string>{"- [ ] A", "  - [ ] A1", "  - [ ] A2", "- [ ] C"}));
  EXPECT_EQ(panel().row(b_), nullptr);
}

TEST_F(TaskRowTest, AModelTitleReplacesTheFieldOnlyWhileItIsUnfocused) {
  model().updateTask(id_, c_, [](TaskItem& item) { item.title = "C 外から"; });
  EXPECT_EQ(row(c_).title(), QStringLiteral("C 外から"));

  QPlainTextEdit* field = focus(b_);
  TaskRow* typing = &row(b_);
  field->selectAll();
  testing::typeInto(field, QStringLiteral("入力中"));
  model().updateTask(id_, b_, [](TaskItem& item) { item.title = "B 外から"; });
  EXPECT_EQ(panel().row(b_), typing) << "the row is reused";
  EXPECT_EQ(typing->title(), QStringLiteral("入力中"));
  // Leaving the field commits what the user typed.
  focus(c_);
  EXPECT_EQ(tasksOf(id_)[3].title, "入力中");
}

TEST_F(TaskRowTest, ATitleBeingTypedSurvivesItsRowLeaving) {
  QPlainTextEdit* field = focus(a1_);
  field->selectAll();
  testing::typeInto(field, QStringLiteral("A1 直し"));
  row(a_).chevron()->click();
  EXPECT_EQ(panel().row(a1_), nullptr);
  testsupport::settleEvents();
  EXPECT_EQ(tasksOf(id_)[1].title, "A1 直し");
  EXPECT_TRUE(tasksOf(id_)[1].manual);
}

TEST_F(TaskRowTest, ChevronAndToggleChangeTheTask) {
  row(a_).chevron()->click();
  EXPECT_EQ(tasksOf(id_)[0].collapsed, std::optional<bool>(true));
  EXPECT_EQ(panel().row(a1_), nullptr) << "a collapsed parent hides its children";
  row(a_).chevron()->click();
  EXPECT_EQ(tasksOf(id_)[0].collapsed, std::optional<bool>(false));
  EXPECT_NE(panel().row(a1_), nullptr);
  EXPECT_FALSE(row(b_).chevron()->isEnabled()) << "a task without children has no chevron";

  row(a_).doneToggle()->click();
  for (const TaskItem& item : tasksOf(id_)) {
    EXPECT_EQ(item.done, item.id == a_ || item.id == a1_ || item.id == a2_) << item.title;
  }
  EXPECT_EQ(row(a_).doneToggle()->toolTip(), QStringLiteral("未完了に戻す"));
  EXPECT_EQ(row(b_).doneToggle()->toolTip(), QStringLiteral("完了にする"));
  EXPECT_TRUE(row(a1_).titleField()->font().strikeOut());
  EXPECT_FALSE(row(b_).titleField()->font().strikeOut());
}

TEST_F(TaskRowTest, ALongTitleWrapsInsideTheColumn) {
  model().updateTask(id_, b_, [](TaskItem& item) { item.title = std::string(10000, 'a') + "。"; });
  testsupport::settleEvents();
  QPlainTextEdit* field = row(b_).titleField();
  EXPECT_LE(panel().width(), TasksPanel::kWidth);
  EXPECT_LE(row(b_).width(), TasksPanel::kWidth);
  EXPECT_GT(field->height(), 10 * field->fontMetrics().lineSpacing());
  EXPECT_EQ(row(b_).rowHeight(), row(b_).height());
}

// ---- The meta line ------------------------------------------------------------------------------

class TaskMetaTest : public testing::PanelTest {};

TEST_F(TaskMetaTest, ShowsAssigneeDueAndTime) {
  struct Case {
    const char* name;
    std::string assignee;
    std::string due;
    std::optional<double> sourceStart;
    QString text;
    bool line;
    QString time;  // empty: no time link
  };
  const std::vector<Case> cases = {
      {"assignee only", "A", "", std::nullopt, QStringLiteral("A"), true, QString()},
      {"assignee and due", "佐藤", "金曜まで", std::nullopt, QStringLiteral("佐藤 · 金曜まで"), true, QString()},
      {"due only", "", "来週", std::nullopt, QStringLiteral("来週"), true, QString()},
      {"time only", "", "", 75.4, QString(), true, QStringLiteral("01:15")},
      {"all", "B", "明日", 3725, QStringLiteral("B · 明日"), true, QStringLiteral("1:02:05")},
      {"nothing", "", "", std::nullopt, QString(), false, QString()},
  };
  std::vector<TaskItem> tasks;
  for (const Case& c : cases) {
    TaskItem item = task(c.name);
    item.assignee = c.assignee;
    item.due = c.due;
    item.sourceStart = c.sourceStart;
    tasks.push_back(item);
  }
  const QUuid id = storeTasks(tasks);
  TasksPanel& panel = show<TasksPanel>(id);
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    TaskRow* row = panel.row(tasks[i].id);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->metaLine()->isVisible(), c.line);
    EXPECT_EQ(row->metaText()->isVisible(), !c.text.isEmpty());
    if (!c.text.isEmpty()) {
      EXPECT_EQ(row->metaText()->text(), c.text);
    }
    EXPECT_EQ(row->timeLink()->isVisible(), !c.time.isEmpty());
    if (!c.time.isEmpty()) {
      EXPECT_EQ(row->timeLink()->text(), c.time);
    }
  }
}

TEST_F(TaskMetaTest, TheTimePlaysOnlyWithAnOpenRecordingOfAFinishedConversation) {
  TaskItem timed = task("見積もりを送る");
  timed.sourceStart = 7;
  const QUuid id = storeTasks({timed});
  TasksPanel& panel = show<TasksPanel>(id);
  const auto link = [&] { return panel.row(timed.id)->timeLink(); };

  EXPECT_FALSE(panel.canSeek());
  EXPECT_FALSE(link()->isEnabled()) << "no recording open";
  EXPECT_EQ(link()->palette().color(QPalette::ButtonText), VeltoToolsDesign::muted());

  openRecording();
  EXPECT_TRUE(panel.canSeek());
  ASSERT_TRUE(link()->isEnabled());
  EXPECT_NE(link()->palette().color(QPalette::ButtonText), VeltoToolsDesign::muted());
  link()->click();
  EXPECT_GE(player().position(), 7.0);
  EXPECT_TRUE(player().isPlaying());
  player().pause();

  model().setLiveID(id);
  EXPECT_FALSE(panel.canSeek());
  EXPECT_FALSE(link()->isEnabled()) << "the conversation is being recorded";
}

// ---- Drops on a row -----------------------------------------------------------------------------

// A (A1 (A1a)), B, C (collapsed, C1).
class TaskRowDropTest : public testing::PanelTest {
 protected:
  void SetUp() override {
    TaskItem a = task("A");
    TaskItem a1 = task("A1", a.id);
    TaskItem a1a = task("A1a", a1.id);
    TaskItem b = task("B");
    TaskItem c = task("C");
    c.collapsed = true;
    TaskItem c1 = task("C1", c.id);
    ids_ = {{"A", a.id}, {"A1", a1.id}, {"A1a", a1a.id}, {"B", b.id}, {"C", c.id}, {"C1", c1.id}};
    VoiceSession other;
    other.title = "別の会話";
    TaskItem elsewhere = task("よそのタスク");
    other.tasks = std::vector<TaskItem>{elsewhere};
    ids_["elsewhere"] = elsewhere.id;
    store(other);
    id_ = storeTasks({a, a1, a1a, a2(a.id), b, c, c1});
  }

  static TaskItem a2(const QUuid& parent) { return task("A2", parent); }

  TaskRow& row(const std::string& name) {
    TaskRow* found = panel().row(ids_.at(name));
    EXPECT_NE(found, nullptr) << name;
    return *found;
  }

  TasksPanel& panel() {
    if (!panel_) panel_ = &show<TasksPanel>(id_);
    return *panel_;
  }

  static QPoint at(const TaskRow& row, double share) {
    return QPoint(row.width() / 2, static_cast<int>(share * row.rowHeight()));
  }

  std::map<std::string, QUuid> ids_;
  QUuid id_;
  TasksPanel* panel_ = nullptr;
};

TEST_F(TaskRowDropTest, UpperPartPutsBeforeLowerPartInside) {
  const std::vector<std::string> unchanged = {"- [ ] A",  "  - [ ] A1", "    - [ ] A1a", "  - [ ] A2",
                                              "- [ ] B",  "- [ ] C",    "  - [ ] C1"};
  struct Case {
    const char* name;
    std::string dragged;
    std::string target;
    double share;
    std::vector<std::string> outline;
  };
  const Case cases[] = {
      {"upper part: before, at the target's level", "B", "A1", 0.2,
       {"- [ ] A", "  - [ ] B", "  - [ ] A1", "    - [ ] A1a", "  - [ ] A2", "- [ ] C", "  - [ ] C1"}},
      {"just above the split", "B", "A1", 0.38,
       {"- [ ] A", "  - [ ] B", "  - [ ] A1", "    - [ ] A1a", "  - [ ] A2", "- [ ] C", "  - [ ] C1"}},
      {"upper part of a later sibling", "A", "C", 0.1,
       {"- [ ] B", "- [ ] A", "  - [ ] A1", "    - [ ] A1a", "  - [ ] A2", "- [ ] C", "  - [ ] C1"}},
      {"lower part: the last child", "B", "A", 0.8,
       {"- [ ] A", "  - [ ] A1", "    - [ ] A1a", "  - [ ] A2", "  - [ ] B", "- [ ] C", "  - [ ] C1"}},
      {"just below the split", "B", "A", 0.45,
       {"- [ ] A", "  - [ ] A1", "    - [ ] A1a", "  - [ ] A2", "  - [ ] B", "- [ ] C", "  - [ ] C1"}},
      {"own row, upper part", "A", "A", 0.2, unchanged},
      {"own row, lower part", "A", "A", 0.8, unchanged},
      {"own child, upper part", "A", "A1", 0.2, unchanged},
      {"own grandchild, lower part", "A", "A1a", 0.8, unchanged},
      {"a task of another conversation", "elsewhere", "B", 0.8, unchanged},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    window_.reset();
    model_.reset();
    panel_ = nullptr;
    SetUp();
    TaskRow& target = row(c.target);
    const std::unique_ptr<QMimeData> mime(TaskDrag::mimeData(ids_.at(c.dragged)));
    EXPECT_TRUE(dropOn(&target, mime.get(), at(target, c.share)));
    EXPECT_EQ(target.dropMode(), TaskRow::DropMode::none);
    testsupport::settleEvents();
    EXPECT_EQ(outline(id_), c.outline);
  }
}

TEST_F(TaskRowDropTest, DropInsideOpensACollapsedRow) {
  TaskRow& target = row("C");
  const std::unique_ptr<QMimeData> mime(TaskDrag::mimeData(ids_.at("B")));
  ASSERT_TRUE(dropOn(&target, mime.get(), at(target, 0.9)));
  testsupport::settleEvents();
  EXPECT_EQ(outline(id_), (std::vector<std::string>{"- [ ] A", "  - [ ] A1", "    - [ ] A1a", "  - [ ] A2", "- [ ] C",
                                                   "  - [ ] C1", "  - [ ] B"}));
  EXPECT_EQ(tasksOf(id_)[4].collapsed, std::optional<bool>(false));
  EXPECT_NE(panel().row(ids_.at("C1")), nullptr);
  EXPECT_EQ(stored(id_).tasks, current(id_).tasks);
}

TEST_F(TaskRowDropTest, OtherPayloadsChangeNothing) {
  QImage image(4, 4, QImage::Format_RGB32);
  image.fill(Qt::blue);
  struct Case {
    const char* name;
    std::function<QMimeData*()> make;
    bool accepted;
  };
  const Case cases[] = {
      {"text that is no id", [] { return textMime(QStringLiteral("B を A の下へ")); }, true},
      {"an unknown id", [] { return TaskDrag::mimeData(QUuid::createUuid()); }, true},
      {"an image", [&] {
         auto* mime = new QMimeData;
         mime->setImageData(image);
         return mime;
       }, false},
  };
  const std::vector<std::string> before = outline(id_);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TaskRow& target = row("A");
    const std::unique_ptr<QMimeData> mime(c.make());
    EXPECT_EQ(dropOn(&target, mime.get(), at(target, 0.8)), c.accepted);
    testsupport::settleEvents();
    EXPECT_EQ(outline(id_), before);
    EXPECT_EQ(tasksOf(id_)[0].parentID, std::nullopt);
  }
}

TEST_F(TaskRowDropTest, FeedbackFollowsTheDrag) {
  TaskRow& target = row("A1");
  const QColor accent = VeltoToolsDesign::accent();
  const std::unique_ptr<QMimeData> mime(TaskDrag::mimeData(ids_.at("B")));
  const auto pixel = [&](QPoint point) { return target.grab().toImage().pixelColor(point); };
  const QPoint barPoint(target.depth() * TaskRow::kIndentPerLevel + 2, 0);
  const QPoint tintPoint(2, target.height() / 2);
  const QColor plainBar = pixel(barPoint);
  const QColor plainTint = pixel(tintPoint);

  ASSERT_TRUE(dragOver(&target, mime.get(), at(target, 0.1)));
  EXPECT_EQ(target.dropMode(), TaskRow::DropMode::before);
  EXPECT_EQ(pixel(barPoint).rgb(), accent.rgb()) << "the bar starts where the row's content starts";
  EXPECT_EQ(pixel(tintPoint), plainTint);

  ASSERT_TRUE(dragOver(&target, mime.get(), at(target, 0.9)));
  EXPECT_EQ(target.dropMode(), TaskRow::DropMode::into);
  EXPECT_NE(pixel(tintPoint), plainTint) << "tinted";
  EXPECT_NE(pixel(barPoint).rgb(), accent.rgb());

  QDragLeaveEvent leave;
  QCoreApplication::sendEvent(&target, &leave);
  EXPECT_EQ(target.dropMode(), TaskRow::DropMode::none);
  EXPECT_EQ(pixel(barPoint), plainBar);
  EXPECT_EQ(pixel(tintPoint), plainTint);

  const std::unique_ptr<QMimeData> none(new QMimeData);
  EXPECT_FALSE(dragOver(&target, none.get(), at(target, 0.9))) << "only text is taken";
  EXPECT_EQ(target.dropMode(), TaskRow::DropMode::none);
}

// ---- The context menu ---------------------------------------------------------------------------

QStringList entries(const QMenu* menu) {
  QStringList texts;
  for (const QAction* action : menu->actions()) {
    texts << (action->isSeparator() ? QStringLiteral("-") : action->text());
  }
  return texts;
}

QAction* entry(const QMenu* menu, const QString& text) {
  for (QAction* action : menu->actions()) {
    if (action->text() == text) return action;
  }
  ADD_FAILURE() << "no entry " << text.toStdString();
  return nullptr;
}

const QMenu* submenu(const QMenu* menu, const QString& text) {
  QAction* found = entry(menu, text);
  return found ? found->menu() : nullptr;
}

// P (T (T1 (T1a))), Q, R with a long title, in a conversation among 20 others.
class TaskRowMenuTest : public testing::PanelTest {
 protected:
  void SetUp() override {
    TaskItem p = task("P");
    TaskItem t = task("T", p.id);
    TaskItem t1 = task("T1", t.id);
    TaskItem t1a = task("T1a", t1.id);
    TaskItem q = task("Q & 打ち合わせ");
    // 35 user-perceived characters: skin-toned thumbs and combining marks count once each.
    std::string longTitle;
    for (int i = 0; i < 7; ++i) longTitle += "👍🏽e\u0301がぎ資";
    TaskItem r = task(longTitle);
    p_ = p.id;
    t_ = t.id;
    t1a_ = t1a.id;
    q_ = q.id;
    longTitle_ = longTitle;
    VoiceSession session;
    session.title = "この会話";
    session.startedAt = 1000;
    session.tasks = std::vector<TaskItem>{p, t, t1, t1a, q, r};
    id_ = store(session);
    for (int i = 0; i < 20; ++i) {
      VoiceSession other;
      other.title = "会話 " + std::to_string(i);
      other.startedAt = 2000 - i;  // newest first: 会話 0 leads the list
      others_.push_back(store(other));
    }
  }

  std::unique_ptr<QMenu> menuOf(const QUuid& taskID) {
    TaskRow* row = show<TasksPanel>(id_).row(taskID);
    EXPECT_NE(row, nullptr);
    return std::unique_ptr<QMenu>(row->menu());
  }

  QUuid id_, p_, t_, t1a_, q_;
  std::string longTitle_;
  std::vector<QUuid> others_;
};

TEST_F(TaskRowMenuTest, EntriesInOrderWithTopLevelOnesDisabled) {
  const auto menu = menuOf(t_);
  EXPECT_EQ(entries(menu.get()),
            (QStringList{"下にタスクを追加", "-", "上へ移動（Ctrl+Up）", "下へ移動（Ctrl+Down）", "一段下げる（Tab）",
                         "一段上げる（Shift+Tab）", "親を選んで移動", "別の会話へ移動", "-",
                         "このタスクと子タスクを削除"}));
  EXPECT_TRUE(entry(menu.get(), QStringLiteral("一段上げる（Shift+Tab）"))->isEnabled());
  EXPECT_TRUE(entry(submenu(menu.get(), QStringLiteral("親を選んで移動")), QStringLiteral("一番上の階層"))->isEnabled());

  const auto top = menuOf(q_);
  EXPECT_FALSE(entry(top.get(), QStringLiteral("一段上げる（Shift+Tab）"))->isEnabled());
  EXPECT_FALSE(entry(submenu(top.get(), QStringLiteral("親を選んで移動")), QStringLiteral("一番上の階層"))->isEnabled());
  EXPECT_EQ(entries(top.get()).last(), QStringLiteral("このタスクを削除"));
}

TEST_F(TaskRowMenuTest, ParentPickerLeavesOutTheTaskItsParentAndItsDescendants) {
  const auto menu = menuOf(t_);
  const QMenu* parents = submenu(menu.get(), QStringLiteral("親を選んで移動"));
  ASSERT_NE(parents, nullptr);
  const QString cut = QString::fromStdString(platform::text::graphemePrefix(longTitle_, 30));
  EXPECT_EQ(platform::text::graphemeCount(cut.toStdString()), 30u);
  EXPECT_EQ(entries(parents), (QStringList{"一番上の階層", "-", "Q && 打ち合わせ", cut}));

  entry(parents, QStringLiteral("Q && 打ち合わせ"))->trigger();
  EXPECT_EQ(outline(id_), (std::vector<std::string>{"- [ ] P", "- [ ] Q & 打ち合わせ", "  - [ ] T", "    - [ ] T1",
                                                   "      - [ ] T1a", "- [ ] " + longTitle_}));
}

TEST_F(TaskRowMenuTest, TopLevelEntryMovesTheTaskToTheEnd) {
  const auto menu = menuOf(t_);
  entry(submenu(menu.get(), QStringLiteral("親を選んで移動")), QStringLiteral("一番上の階層"))->trigger();
  EXPECT_EQ(outline(id_), (std::vector<std::string>{"- [ ] P", "- [ ] Q & 打ち合わせ", "- [ ] " + longTitle_,
                                                   "- [ ] T", "  - [ ] T1", "    - [ ] T1a"}));
}

TEST_F(TaskRowMenuTest, OtherConversationsAreTheFirstFifteenInListOrder) {
  const auto menu = menuOf(t1a_);
  const QMenu* conversations = submenu(menu.get(), QStringLiteral("別の会話へ移動"));
  ASSERT_NE(conversations, nullptr);
  QStringList expected;
  for (int i = 0; i < 15; ++i) expected << QStringLiteral("会話 %1").arg(i);
  EXPECT_EQ(entries(conversations), expected);

  entry(conversations, QStringLiteral("会話 3"))->trigger();
  EXPECT_EQ(outline(id_).size(), 5u);
  ASSERT_EQ(tasksOf(others_[3]).size(), 1u);
  EXPECT_EQ(tasksOf(others_[3])[0].title, "T1a");
}

TEST_F(TaskRowMenuTest, DeleteEntryRemovesTheSubtree) {
  const auto menu = menuOf(t_);
  entry(menu.get(), QStringLiteral("このタスクと子タスクを削除"))->trigger();
  EXPECT_EQ(outline(id_), (std::vector<std::string>{"- [ ] P", "- [ ] Q & 打ち合わせ", "- [ ] " + longTitle_}));
}

}  // namespace
}  // namespace veltovoice
