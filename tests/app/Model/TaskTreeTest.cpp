#include "app/Model/LiveModel.h"

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <QCoreApplication>
#include <QSignalSpy>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/sys/FileIO.h"
#include "tests/support/ManualClock.h"
#include "tests/support/RecordingDesktop.h"
#include "tests/support/TemporaryFolder.h"

namespace veltovoice {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// A task tree written as "title" for a root and "title^parent" for a child, in list order; a
// parent may be named before or after its child, or not at all ("X^nobody" has a missing parent).
std::vector<TaskItem> tree(const std::vector<std::string>& lines) {
  std::map<std::string, QUuid> ids;
  auto idOf = [&](const std::string& title) {
    auto [it, added] = ids.try_emplace(title, QUuid::createUuid());
    return it->second;
  };
  std::vector<TaskItem> tasks;
  for (const std::string& line : lines) {
    const auto caret = line.find('^');
    TaskItem task;
    task.title = line.substr(0, caret);
    task.id = idOf(task.title);
    task.sourceStart = 12.5;
    if (caret != std::string::npos) task.parentID = idOf(line.substr(caret + 1));
    tasks.push_back(task);
  }
  return tasks;
}

// The list written back the way tree() reads it; an unknown parent reads "?".
std::vector<std::string> shape(const std::optional<std::vector<TaskItem>>& tasks) {
  std::vector<std::string> lines;
  if (!tasks) return lines;
  std::map<QUuid, std::string> titles;
  for (const TaskItem& task : *tasks) titles[task.id] = task.title;
  for (const TaskItem& task : *tasks) {
    std::string line = task.title;
    if (task.parentID) line += "^" + (titles.count(*task.parentID) ? titles[*task.parentID] : "?");
    lines.push_back(line);
  }
  return lines;
}

// Whether some task of the list is its own ancestor.
bool hasCycle(const std::vector<TaskItem>& tasks) {
  std::map<QUuid, std::optional<QUuid>> parents;
  for (const TaskItem& task : tasks) parents[task.id] = task.parentID;
  for (const TaskItem& task : tasks) {
    std::set<QUuid> seen{task.id};
    for (auto p = task.parentID; p && parents.count(*p); p = parents[*p]) {
      if (!seen.insert(*p).second) return true;
    }
  }
  return false;
}

class TestModel : public LiveModel {
 public:
  using LiveModel::LiveModel;
  using LiveModel::lastDescendantIndex;
};

// The conversation model over a temporary root with the real store, a hand-driven clock and an
// in-memory clipboard; conversations are stored before the model is made.
class TaskTreeTest : public ::testing::Test {
 protected:
  TaskTreeTest() { setenv("XDG_DATA_HOME", data_.path().c_str(), 1); }
  ~TaskTreeTest() override {
    model_.reset();
    QCoreApplication::processEvents();
  }

  SessionStore store() const { return SessionStore::inFolder(root_.path()); }

  // A stored conversation titled `title` holding `tasks`.
  QUuid stored(std::optional<std::vector<TaskItem>> tasks, const std::string& title = "会議") {
    VoiceSession session;
    session.title = title;
    session.tasks = std::move(tasks);
    store().save(session);
    return session.id;
  }

  TestModel& model() {
    if (!model_) {
      LiveModelServices services;
      services.clock = clock_;
      services.clipboard = clipboard_;
      model_ = std::make_unique<TestModel>(root_.path(), services);
      QCoreApplication::processEvents();
    }
    return *model_;
  }

  const VoiceSession& inModel(const QUuid& id) { return *model().session(id); }

  QUuid task(const QUuid& session, const std::string& title) {
    for (const TaskItem& t : inModel(session).tasks.value_or(std::vector<TaskItem>{})) {
      if (t.title == title) return t.id;
    }
    return QUuid::createUuid();  // names no task
  }

  const TaskItem& item(const QUuid& session, const std::string& title) {
    const QUuid id = task(session, title);
    for (const TaskItem& t : *inModel(session).tasks) {
      if (t.id == id) return t;
    }
    throw std::runtime_error("no task " + title);
  }

  // Runs `operation` with the conversation files removed and reports whether the debounced save
  // wrote `session` again, checking that what was written is what the model holds.
  bool saves(const QUuid& session, const std::function<void()>& operation) {
    model();
    clock_->advance(10);
    const fs::path file = store().conversationFile(session);
    fs::remove(file);
    operation();
    clock_->advance(LiveModel::kSaveDebounceSeconds);
    if (!fs::exists(file)) return false;
    if (const VoiceSession* now = model().session(session)) {
      EXPECT_EQ(VoiceSession::fromJsonText(platform::readFile(file)), *now);
    }
    return true;
  }

  int argc_ = 0;
  QCoreApplication app_{argc_, nullptr};
  testsupport::TemporaryFolder data_;
  testsupport::TemporaryFolder root_;
  std::shared_ptr<testsupport::ManualClock> clock_ = std::make_shared<testsupport::ManualClock>();
  std::shared_ptr<testsupport::MemoryClipboard> clipboard_ = std::make_shared<testsupport::MemoryClipboard>();
  std::unique_ptr<TestModel> model_;
};

// ---- Reordering and indentation -----------------------------------------------------------------

TEST_F(TaskTreeTest, UpDownIndentAndOutdentMoveAmongSiblingsOrDoNothing) {
  enum class Op { up, down, indent, outdent };
  struct Case {
    const char* name;
    std::vector<std::string> tasks;
    Op op;
    std::string target;
    std::vector<std::string> expected;  // empty: unchanged, and nothing saved
  };
  const std::vector<std::string> abc = {"A", "B", "C"};
  const Case cases[] = {
      {"up on the first root", abc, Op::up, "A", {}},
      {"up on the last root", abc, Op::up, "C", {"A", "C", "B"}},
      {"down on the first root", abc, Op::down, "A", {"B", "A", "C"}},
      {"down on the middle root", abc, Op::down, "B", {"A", "C", "B"}},
      {"down on the last root", abc, Op::down, "C", {}},
      {"down past a sibling with children", {"A", "B", "B1^B", "C"}, Op::down, "A", {"B", "B1^B", "A", "C"}},
      {"up among children skips other roots", {"P", "X", "P1^P", "P2^P"}, Op::up, "P2", {"P", "X", "P2^P", "P1^P"}},
      {"indent becomes the last child of the previous sibling", {"A", "A1^A", "A2^A", "B"}, Op::indent, "B",
       {"A", "A1^A", "A2^A", "B^A"}},
      {"indent of a first sibling", {"A", "A1^A", "B"}, Op::indent, "A", {}},
      {"outdent follows the former parent", {"Q", "P", "X^P", "R"}, Op::outdent, "X", {"Q", "P", "X", "R"}},
      {"outdent of a grandchild", {"P", "C^P", "G^C", "D^P"}, Op::outdent, "G", {"P", "C^P", "G^P", "D^P"}},
      {"outdent of a root", abc, Op::outdent, "B", {}},
      {"unknown task", abc, Op::up, "nobody", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    model_.reset();
    const QUuid session = stored(tree(c.tasks));
    const QUuid target = task(session, c.target);
    QSignalSpy changed(&model(), &LiveModel::sessionChanged);
    const bool saved = saves(session, [&] {
      switch (c.op) {
        case Op::up: model().moveTaskUp(session, target); break;
        case Op::down: model().moveTaskDown(session, target); break;
        case Op::indent: model().indentTask(session, target); break;
        case Op::outdent: model().outdentTask(session, target); break;
      }
    });
    if (c.expected.empty()) {
      EXPECT_EQ(shape(inModel(session).tasks), c.tasks);
      EXPECT_FALSE(saved);
      EXPECT_EQ(changed.count(), 0);
    } else {
      EXPECT_EQ(shape(inModel(session).tasks), c.expected);
      EXPECT_TRUE(saved);
      EXPECT_EQ(changed.count(), 1);
    }
  }
}

TEST_F(TaskTreeTest, IndentExpandsTheNewParent) {
  std::vector<TaskItem> tasks = tree({"A", "A1^A", "B"});
  tasks[0].collapsed = true;
  const QUuid session = stored(tasks);
  model().indentTask(session, task(session, "B"));
  EXPECT_EQ(item(session, "A").collapsed, std::optional<bool>(false));
}

// ---- Moving -------------------------------------------------------------------------------------

TEST_F(TaskTreeTest, MoveTaskPlacesUnderAnyParentAndRefusesCycles) {
  struct Case {
    const char* name;
    std::vector<std::string> tasks;
    std::string target;
    std::optional<std::string> parent;  // a title, or "nobody" for an id that names no task
    int index;
    std::vector<std::string> expected;
  };
  const std::vector<std::string> deep = {"A", "A1^A", "A1a^A1", "A2^A", "A2a^A2", "X"};
  const Case cases[] = {
      {"under its own child is refused", deep, "A", "A1", 0, deep},
      {"under its grandchild is refused", deep, "A", "A2a", 0, deep},
      {"under itself is refused", deep, "A", "A", 0, deep},
      {"index past the children goes after the last child's subtree", deep, "X", "A", 99,
       {"A", "A1^A", "A1a^A1", "A2^A", "A2a^A2", "X^A"}},
      {"index counts the other children", deep, "X", "A", 1, {"A", "A1^A", "A1a^A1", "X^A", "A2^A", "A2a^A2"}},
      {"negative index counts as the first place", deep, "X", "A", -3,
       {"A", "X^A", "A1^A", "A1a^A1", "A2^A", "A2a^A2"}},
      {"a parent without children takes it right after itself", deep, "X", "A1a", 0,
       {"A", "A1^A", "A1a^A1", "X^A1a", "A2^A", "A2a^A2"}},
      {"to the roots past the end", {"A", "A1^A", "B", "B1^B"}, "A1", std::nullopt, 5, {"A", "B", "B1^B", "A1"}},
      {"an unknown parent sends it to the end", deep, "A1", "nobody", 0,
       {"A", "A1a^A1", "A2^A", "A2a^A2", "X", "A1^?"}},
      {"an unknown task changes nothing", deep, "nobody", "A", 0, deep},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    model_.reset();
    const QUuid session = stored(tree(c.tasks));
    const std::optional<QUuid> parent = c.parent ? std::optional<QUuid>(task(session, *c.parent)) : std::nullopt;
    EXPECT_TRUE(saves(session, [&] { model().moveTask(session, task(session, c.target), parent, c.index); }))
        << "every move schedules a save";
    EXPECT_EQ(shape(inModel(session).tasks), c.expected);
    EXPECT_FALSE(hasCycle(*inModel(session).tasks));
  }
}

TEST_F(TaskTreeTest, AnUnknownParentListsTheTaskUnindentedAtTheEndOfTheOutline) {
  const QUuid session = stored(tree({"A", "A1^A", "B"}));
  model().moveTask(session, task(session, "A1"), QUuid::createUuid(), 0);
  EXPECT_THAT(inModel(session).taskOutline(), ElementsAre("- [ ] A", "- [ ] B", "- [ ] A1"));
}

TEST_F(TaskTreeTest, MovesWithoutAListOrConversationChangeNothingButStillSave) {
  const QUuid session = stored(std::nullopt);
  EXPECT_TRUE(saves(session, [&] { model().moveTask(session, QUuid::createUuid(), std::nullopt, 0); }));
  EXPECT_EQ(inModel(session).tasks, std::nullopt);
  model().moveTaskUp(session, QUuid::createUuid());
  model().toggleTaskDone(session, QUuid::createUuid());
  model().updateTask(session, QUuid::createUuid(), [](TaskItem& t) { t.done = true; });
  EXPECT_EQ(inModel(session).tasks, std::nullopt) << "an absent list stays absent";
}

TEST_F(TaskTreeTest, RandomMovesNeverMakeACycle) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  const QUuid session = stored(tree({"A", "A1^A", "A1a^A1", "A2^A", "B", "B1^B", "B1a^B1", "C"}));
  const std::vector<std::string> titles = {"A", "A1", "A1a", "A2", "B", "B1", "B1a", "C"};
  for (int step = 0; step < 400; ++step) {
    const QUuid target = task(session, titles[random() % titles.size()]);
    switch (random() % 5) {
      case 0: {
        const std::size_t pick = random() % (titles.size() + 1);
        const std::optional<QUuid> parent =
            pick == titles.size() ? std::nullopt : std::optional<QUuid>(task(session, titles[pick]));
        model().moveTask(session, target, parent, static_cast<int>(random() % 4));
        break;
      }
      case 1: model().indentTask(session, target); break;
      case 2: model().outdentTask(session, target); break;
      case 3: model().moveTaskUp(session, target); break;
      case 4: model().moveTaskDown(session, target); break;
    }
    ASSERT_FALSE(hasCycle(*inModel(session).tasks)) << "step " << step;
    ASSERT_EQ(inModel(session).tasks->size(), titles.size());
  }
}

TEST_F(TaskTreeTest, IsDescendantWalksAtMostOneHundredStepsUp) {
  // T0 is the root; T(i) is the child of T(i - 1).
  std::vector<std::string> chain = {"T0"};
  for (int i = 1; i <= 101; ++i) chain.push_back("T" + std::to_string(i) + "^T" + std::to_string(i - 1));
  const std::vector<TaskItem> tasks = tree(chain);
  const auto id = [&](int i) { return tasks[static_cast<std::size_t>(i)].id; };
  struct Case {
    const char* name;
    QUuid task;
    QUuid ancestor;
    bool expected;
  };
  const Case cases[] = {
      {"child of", id(1), id(0), true},
      {"one hundred levels below", id(100), id(0), true},
      {"one hundred and one levels below", id(101), id(0), false},
      {"above, not below", id(0), id(1), false},
      {"the task itself", id(5), id(5), false},
      {"a task not in the list", QUuid::createUuid(), id(0), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(LiveModel::isDescendant(c.task, c.ancestor, tasks), c.expected);
  }
}

// ---- Other conversations ------------------------------------------------------------------------

TEST_F(TaskTreeTest, MoveToAnotherConversationTakesTheSubtreeAsANewRoot) {
  const QUuid from = stored(tree({"P", "A^P", "A1^A", "Z", "A2^A"}), "元の会議");
  const QUuid to = stored(tree({"T"}), "次の会議");
  const QUuid moved = task(from, "A");
  model().moveTaskToSession(from, moved, to);
  EXPECT_EQ(shape(inModel(from).tasks), (std::vector<std::string>{"P", "Z"}));
  EXPECT_EQ(shape(inModel(to).tasks), (std::vector<std::string>{"T", "A", "A1^A", "A2^A"}));
  for (const char* title : {"A", "A1", "A2"}) EXPECT_EQ(item(to, title).sourceStart, std::nullopt) << title;
  EXPECT_EQ(item(to, "T").sourceStart, std::optional<double>(12.5));
  ASSERT_TRUE(model().notice());
  EXPECT_EQ(model().notice()->text, "「A」を「次の会議」へ移しました。");
  EXPECT_EQ(model().notice()->action, std::nullopt);
  clock_->advance(LiveModel::kSaveDebounceSeconds);
  EXPECT_EQ(VoiceSession::fromJsonText(platform::readFile(store().conversationFile(from))), inModel(from));
  EXPECT_EQ(VoiceSession::fromJsonText(platform::readFile(store().conversationFile(to))), inModel(to));
}

TEST_F(TaskTreeTest, MoveToAnotherConversationIsRefusedWithoutLosingTasks) {
  const QUuid from = stored(tree({"A", "A1^A"}));
  const QUuid empty = stored(std::nullopt, "空");
  struct Case {
    const char* name;
    QUuid to;
    std::string task;
  };
  const Case cases[] = {
      {"unknown target", QUuid::createUuid(), "A"},
      {"same conversation", from, "A"},
      {"unknown task", empty, "nobody"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(saves(from, [&] { model().moveTaskToSession(from, task(from, c.task), c.to); }));
    EXPECT_EQ(shape(inModel(from).tasks), (std::vector<std::string>{"A", "A1^A"}));
    EXPECT_EQ(inModel(empty).tasks, std::nullopt);
    EXPECT_EQ(model().notice(), std::nullopt);
  }
  model().moveTaskToSession(from, task(from, "A1"), empty);
  EXPECT_EQ(shape(inModel(empty).tasks), (std::vector<std::string>{"A1"})) << "an absent list is made";
}

// ---- Done state, fields, adding and deleting ------------------------------------------------------

TEST_F(TaskTreeTest, ToggleGivesTheNewStateToTheWholeSubtreeOnly) {
  std::vector<TaskItem> tasks = tree({"Top", "P^Top", "C1^P", "C2^P", "G^C2", "S^Top"});
  for (const char* done : {"C1", "S"}) {
    for (TaskItem& t : tasks) t.done = t.done || t.title == done;
  }
  const QUuid session = stored(tasks);
  EXPECT_TRUE(saves(session, [&] { model().toggleTaskDone(session, task(session, "P")); }));
  std::map<std::string, bool> done;
  for (const TaskItem& t : *inModel(session).tasks) done[t.title] = t.done;
  EXPECT_EQ(done, (std::map<std::string, bool>{
                      {"Top", false}, {"P", true}, {"C1", true}, {"C2", true}, {"G", true}, {"S", true}}));
  model().toggleTaskDone(session, task(session, "P"));
  for (const char* title : {"P", "C1", "C2", "G"}) EXPECT_FALSE(item(session, title).done) << title;
  EXPECT_TRUE(item(session, "S").done);
  EXPECT_TRUE(saves(session, [&] { model().toggleTaskDone(session, QUuid::createUuid()); }))
      << "an unknown task still saves";
}

TEST_F(TaskTreeTest, UpdateTaskChangesTheTaskAsGiven) {
  const QUuid session = stored(tree({"A"}));
  const std::string title(10000, 'T');
  EXPECT_TRUE(saves(session, [&] {
    model().updateTask(session, task(session, "A"), [&](TaskItem& t) {
      t.title = title;
      t.manual = true;
    });
  }));
  EXPECT_EQ(inModel(session).tasks->front().title, title);
  EXPECT_TRUE(inModel(session).tasks->front().manual);
  EXPECT_TRUE(saves(session, [&] { model().updateTask(session, QUuid::createUuid(), [](TaskItem&) {}); }));
}

TEST_F(TaskTreeTest, DeleteRemovesTheSubtreeAndKeepsTheRestInOrder) {
  struct Case {
    const char* name;
    std::optional<std::vector<std::string>> tasks;
    std::string target;
    std::optional<std::vector<std::string>> expected;
  };
  const Case cases[] = {
      {"grandchildren go too", std::vector<std::string>{"A", "B", "B1^B", "C", "B1a^B1", "B2^B", "D"}, "B",
       std::vector<std::string>{"A", "C", "D"}},
      {"a leaf", std::vector<std::string>{"A", "A1^A", "A2^A"}, "A1", std::vector<std::string>{"A", "A2^A"}},
      {"an unknown task", std::vector<std::string>{"A"}, "nobody", std::vector<std::string>{"A"}},
      {"a missing list becomes empty", std::nullopt, "nobody", std::vector<std::string>{}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    model_.reset();
    const QUuid session = stored(c.tasks ? std::optional(tree(*c.tasks)) : std::nullopt);
    EXPECT_TRUE(saves(session, [&] { model().deleteTask(session, task(session, c.target)); }));
    ASSERT_TRUE(inModel(session).tasks);
    EXPECT_EQ(shape(inModel(session).tasks), *c.expected);
  }
}

TEST_F(TaskTreeTest, AddTaskAppendsAnEmptyManualRootWithoutSaving) {
  const QUuid session = stored(std::nullopt);
  QUuid added;
  EXPECT_FALSE(saves(session, [&] { added = model().addTask(session); }));
  ASSERT_TRUE(inModel(session).tasks);
  const TaskItem& task = inModel(session).tasks->back();
  EXPECT_EQ(task.id, added);
  TaskItem expected;
  expected.id = added;
  expected.manual = true;
  EXPECT_EQ(task, expected);
  EXPECT_FALSE(model().addTask(QUuid::createUuid()).isNull()) << "an id even for an unknown conversation";
}

TEST_F(TaskTreeTest, AddTaskAfterInsertsUnderTheSameParent) {
  struct Case {
    const char* name;
    std::vector<std::string> tasks;
    std::string after;
    std::vector<std::string> expected;  // the new task is "new"
  };
  const Case cases[] = {
      {"after the last child", {"P", "A^P", "B^P", "B1^B", "Q"}, "B", {"P", "A^P", "B^P", "B1^B", "new^P", "Q"}},
      {"after a middle child", {"P", "A^P", "B^P", "Q"}, "A", {"P", "A^P", "new^P", "B^P", "Q"}},
      {"after a root", {"P", "A^P", "Q"}, "P", {"P", "A^P", "new", "Q"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    model_.reset();
    std::vector<TaskItem> tasks = tree(c.tasks);
    tasks.front().collapsed = true;
    const QUuid session = stored(tasks);
    std::optional<QUuid> added;
    EXPECT_TRUE(saves(session, [&] { added = model().addTask(session, task(session, c.after)); }));
    ASSERT_TRUE(added);
    model().updateTask(session, *added, [](TaskItem& t) { t.title = "new"; });
    EXPECT_EQ(shape(inModel(session).tasks), c.expected);
    if (item(session, "new").parentID) {
      EXPECT_EQ(item(session, "P").collapsed, std::optional<bool>(false));
    }
  }
  const QUuid session = stored(tree({"A"}));
  model_.reset();
  EXPECT_EQ(model().addTask(session, QUuid::createUuid()), std::nullopt);
  EXPECT_EQ(shape(inModel(session).tasks), (std::vector<std::string>{"A"}));
}

// ---- Copying ------------------------------------------------------------------------------------

TEST_F(TaskTreeTest, CopyTasksPutsTheOutline) {
  std::vector<TaskItem> tasks = tree({"見積を送る", "金額を確認^見積を送る"});
  tasks[0].done = true;
  tasks[1].assignee = "佐藤";
  tasks[1].due = "金曜";
  const QUuid session = stored(tasks);
  const QUuid none = stored(std::nullopt);
  model().copyTasks(session);
  EXPECT_EQ(clipboard_->text, std::optional<std::string>("- [x] 見積を送る\n  - [ ] 金額を確認（佐藤）（金曜）"));
  model().copyTasks(none);
  EXPECT_EQ(clipboard_->text, std::optional<std::string>(""));
  clipboard_->text.reset();
  model().copyTasks(QUuid::createUuid());
  EXPECT_EQ(clipboard_->text, std::nullopt);
}

// ---- Lists with cycles, as a damaged file may hold them --------------------------------------------

TEST_F(TaskTreeTest, WalksDownACyclicListEnd) {
  // A and B are each other's parent, S is its own, R is an ordinary root.
  std::vector<TaskItem> tasks = tree({"R", "A^B", "B^A", "S^S", "B1^B"});
  struct Case {
    const char* name;
    std::function<void(TestModel&, const QUuid&, const QUuid&)> operation;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"toggle", [&](TestModel& m, const QUuid& s, const QUuid&) { m.toggleTaskDone(s, task(s, "A")); },
       {"R", "A^B", "B^A", "S^S", "B1^B"}},
      {"delete", [&](TestModel& m, const QUuid& s, const QUuid&) { m.deleteTask(s, task(s, "A")); }, {"R", "S^S"}},
      {"delete a self-parent", [&](TestModel& m, const QUuid& s, const QUuid&) { m.deleteTask(s, task(s, "S")); },
       {"R", "A^B", "B^A", "B1^B"}},
      {"move past a cyclic sibling", [&](TestModel& m, const QUuid& s, const QUuid&) {
         m.moveTask(s, task(s, "R"), task(s, "A"), 9);
       },
       {"A^B", "B^A", "S^S", "B1^B", "R^A"}},
      {"move to another conversation", [&](TestModel& m, const QUuid& s, const QUuid& other) {
         m.moveTaskToSession(s, task(s, "A"), other);
       },
       {"R", "S^S"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    model_.reset();
    const QUuid session = stored(tasks);
    const QUuid other = stored(std::nullopt, "別");
    c.operation(model(), session, other);
    EXPECT_EQ(shape(inModel(session).tasks), c.expected);
  }
  model_.reset();
  const QUuid session = stored(tasks);
  model().toggleTaskDone(session, task(session, "B"));
  for (const char* title : {"A", "B", "B1"}) EXPECT_TRUE(item(session, title).done) << title;
  EXPECT_EQ(TestModel::lastDescendantIndex(task(session, "A"), *inModel(session).tasks), std::optional<std::size_t>(4));
  const QUuid other = stored(std::nullopt, "別");
  model_.reset();
  model().moveTaskToSession(session, task(session, "A"), other);
  EXPECT_EQ(shape(inModel(other).tasks), (std::vector<std::string>{"A", "B^A", "B1^B"})) << "the cycle is cut";
}

}  // namespace
}  // namespace veltovoice
