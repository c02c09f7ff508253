#include "app/Model/LiveModel.h"

#include <algorithm>
#include <unordered_map>
#include <utility>

#include <QHash>

#include "app/Model/Clipboard.h"

namespace veltovoice {

namespace {

// Tasks more than this many levels below another do not count as its descendants.
constexpr int kMaxAncestrySteps = 100;

struct UuidHash {
  std::size_t operator()(const QUuid& id) const noexcept { return qHash(id); }
};

// Where each task's children stand in the list, by the parent's id.
using ChildPositions = std::unordered_map<QUuid, std::vector<std::size_t>, UuidHash>;

ChildPositions childPositions(const std::vector<TaskItem>& tasks) {
  ChildPositions children;
  for (std::size_t i = 0; i < tasks.size(); ++i) {
    if (tasks[i].parentID) children[*tasks[i].parentID].push_back(i);
  }
  return children;
}

// Marks the positions of the task and of every task below it. Each position is visited once,
// so a list read from a file with a parent cycle still ends.
std::vector<char> subtreeMarks(const std::vector<TaskItem>& tasks, const QUuid& taskID) {
  std::vector<char> marks(tasks.size(), 0);
  std::vector<std::size_t> pending;
  for (std::size_t i = 0; i < tasks.size(); ++i) {
    if (tasks[i].id == taskID) {
      marks[i] = 1;
      pending.push_back(i);
    }
  }
  if (pending.empty()) return marks;
  const ChildPositions children = childPositions(tasks);
  while (!pending.empty()) {
    const std::size_t at = pending.back();
    pending.pop_back();
    const auto found = children.find(tasks[at].id);
    if (found == children.end()) continue;
    for (const std::size_t child : found->second) {
      if (marks[child]) continue;
      marks[child] = 1;
      pending.push_back(child);
    }
  }
  return marks;
}

std::optional<std::size_t> lastMarked(const std::vector<char>& marks) {
  for (std::size_t i = marks.size(); i > 0; --i) {
    if (marks[i - 1]) return i - 1;
  }
  return std::nullopt;
}

std::vector<TaskItem>::iterator findTask(std::vector<TaskItem>& tasks, const QUuid& id) {
  return std::find_if(tasks.begin(), tasks.end(), [&](const TaskItem& task) { return task.id == id; });
}

std::vector<TaskItem>::const_iterator findTask(const std::vector<TaskItem>& tasks, const QUuid& id) {
  return std::find_if(tasks.begin(), tasks.end(), [&](const TaskItem& task) { return task.id == id; });
}

// Where a task going under `parent` at `index` is inserted, the task already taken out.
std::size_t insertionPosition(const std::vector<TaskItem>& tasks, const std::optional<QUuid>& parent,
                              std::size_t index) {
  std::vector<std::size_t> siblings;
  for (std::size_t i = 0; i < tasks.size(); ++i) {
    if (tasks[i].parentID == parent) siblings.push_back(i);
  }
  std::size_t position = tasks.size();
  if (index < siblings.size()) {
    position = siblings[index];
  } else if (!siblings.empty()) {
    // After the last sibling and everything below it.
    position = *lastMarked(subtreeMarks(tasks, tasks[siblings.back()].id)) + 1;
  } else if (parent) {
    const auto found = findTask(tasks, *parent);
    if (found != tasks.end()) position = static_cast<std::size_t>(found - tasks.begin()) + 1;
  }
  return std::min(position, tasks.size());
}

// The move of LiveModel::moveTask on one list; returns whether the list changed.
bool moveWithin(std::vector<TaskItem>& tasks, const QUuid& taskID, const std::optional<QUuid>& parent,
                int index) {
  if (parent && (*parent == taskID || LiveModel::isDescendant(*parent, taskID, tasks))) return false;
  const auto found = findTask(tasks, taskID);
  if (found == tasks.end()) return false;
  TaskItem task = std::move(*found);
  tasks.erase(found);
  task.parentID = parent;
  const std::size_t position = insertionPosition(tasks, parent, static_cast<std::size_t>(std::max(index, 0)));
  tasks.insert(tasks.begin() + static_cast<std::ptrdiff_t>(position), std::move(task));
  if (parent) {
    if (const auto shown = findTask(tasks, *parent); shown != tasks.end()) shown->collapsed = false;
  }
  return true;
}

TaskItem newManualTask(const std::optional<QUuid>& parent) {
  TaskItem task;
  task.manual = true;
  task.parentID = parent;
  return task;
}

}  // namespace

bool LiveModel::isDescendant(const QUuid& taskID, const QUuid& ancestor,
                             const std::vector<TaskItem>& tasks) {
  if (taskID == ancestor) return false;
  const auto task = findTask(tasks, taskID);
  if (task == tasks.end()) return false;
  std::optional<QUuid> current = task->parentID;
  for (int step = 0; current && step < kMaxAncestrySteps; ++step) {
    if (*current == ancestor) return true;
    const auto parent = findTask(tasks, *current);
    if (parent == tasks.end()) return false;
    current = parent->parentID;
  }
  return false;
}

std::optional<std::size_t> LiveModel::lastDescendantIndex(const QUuid& taskID,
                                                          const std::vector<TaskItem>& tasks) {
  return lastMarked(subtreeMarks(tasks, taskID));
}

std::optional<std::vector<TaskItem>>* LiveModel::tasksOf(const QUuid& sessionID) {
  const std::optional<int> row = rowOf(sessionID);
  return row ? &sessions_[static_cast<std::size_t>(*row)].tasks : nullptr;
}

std::optional<LiveModel::SiblingsInfo> LiveModel::siblingsInfo(const QUuid& sessionID,
                                                               const QUuid& taskID) const {
  const VoiceSession* found = session(sessionID);
  if (!found || !found->tasks) return std::nullopt;
  const std::vector<TaskItem>& tasks = *found->tasks;
  const auto task = findTask(tasks, taskID);
  if (task == tasks.end()) return std::nullopt;
  SiblingsInfo info{*task, {}, 0};
  for (auto it = tasks.begin(); it != tasks.end(); ++it) {
    if (it->parentID != task->parentID) continue;
    if (it == task) info.index = static_cast<int>(info.siblings.size());
    info.siblings.push_back(*it);
  }
  return info;
}

void LiveModel::moveTask(const QUuid& sessionID, const QUuid& taskID,
                         const std::optional<QUuid>& parent, int index) {
  if (auto* tasks = tasksOf(sessionID); tasks && *tasks) {
    if (moveWithin(**tasks, taskID, parent, index)) emit sessionChanged(sessionID);
  }
  scheduleSave(sessionID);
}

void LiveModel::moveTaskUp(const QUuid& sessionID, const QUuid& taskID) {
  const auto info = siblingsInfo(sessionID, taskID);
  if (!info || info->index == 0) return;
  moveTask(sessionID, taskID, info->task.parentID, info->index - 1);
}

void LiveModel::moveTaskDown(const QUuid& sessionID, const QUuid& taskID) {
  const auto info = siblingsInfo(sessionID, taskID);
  if (!info || info->index + 1 >= static_cast<int>(info->siblings.size())) return;
  moveTask(sessionID, taskID, info->task.parentID, info->index + 1);
}

void LiveModel::indentTask(const QUuid& sessionID, const QUuid& taskID) {
  const auto info = siblingsInfo(sessionID, taskID);
  if (!info || info->index == 0) return;
  const QUuid previous = info->siblings[static_cast<std::size_t>(info->index - 1)].id;
  const std::vector<TaskItem>& tasks = *session(sessionID)->tasks;
  const auto children = std::count_if(tasks.begin(), tasks.end(),
                                      [&](const TaskItem& task) { return task.parentID == previous; });
  moveTask(sessionID, taskID, previous, static_cast<int>(children));
}

void LiveModel::outdentTask(const QUuid& sessionID, const QUuid& taskID) {
  const auto info = siblingsInfo(sessionID, taskID);
  if (!info || !info->task.parentID) return;
  const auto parent = siblingsInfo(sessionID, *info->task.parentID);
  if (!parent) return;
  moveTask(sessionID, taskID, parent->task.parentID, parent->index + 1);
}

void LiveModel::moveTaskToSession(const QUuid& from, const QUuid& taskID, const QUuid& to) {
  if (from == to) return;
  auto* source = tasksOf(from);
  if (!source || !*source) return;
  // Checked before anything leaves the source, so that an unknown target loses no task.
  const VoiceSession* target = session(to);
  if (!target) return;
  const std::string targetTitle = target->title;

  std::vector<TaskItem>& tasks = **source;
  const std::vector<char> marks = subtreeMarks(tasks, taskID);
  if (!lastMarked(marks)) return;
  std::vector<TaskItem> moving;
  std::vector<TaskItem> staying;
  for (std::size_t i = 0; i < tasks.size(); ++i) {
    (marks[i] ? moving : staying).push_back(std::move(tasks[i]));
  }
  std::string title;
  for (TaskItem& task : moving) {
    task.sourceStart.reset();
    if (task.id != taskID) continue;
    if (title.empty()) title = task.title;
    task.parentID.reset();
  }
  tasks = std::move(staying);
  emit sessionChanged(from);

  auto* destination = tasksOf(to);
  if (!*destination) destination->emplace();
  (*destination)->insert((*destination)->end(), std::make_move_iterator(moving.begin()),
                         std::make_move_iterator(moving.end()));
  emit sessionChanged(to);

  scheduleSave(from);
  scheduleSave(to);
  setNotice(Notice{"「" + title + "」を「" + targetTitle + "」へ移しました。", std::nullopt});
}

void LiveModel::toggleTaskDone(const QUuid& sessionID, const QUuid& taskID) {
  if (auto* tasks = tasksOf(sessionID); tasks && *tasks) {
    const auto task = findTask(**tasks, taskID);
    if (task != (*tasks)->end()) {
      const bool done = !task->done;
      const std::vector<char> marks = subtreeMarks(**tasks, taskID);
      for (std::size_t i = 0; i < marks.size(); ++i) {
        if (marks[i]) (**tasks)[i].done = done;
      }
      emit sessionChanged(sessionID);
    }
  }
  scheduleSave(sessionID);
}

void LiveModel::updateTask(const QUuid& sessionID, const QUuid& taskID,
                           const std::function<void(TaskItem&)>& change) {
  if (auto* tasks = tasksOf(sessionID); tasks && *tasks) {
    const auto task = findTask(**tasks, taskID);
    if (task != (*tasks)->end()) {
      change(*task);
      emit sessionChanged(sessionID);
    }
  }
  scheduleSave(sessionID);
}

QUuid LiveModel::addTask(const QUuid& sessionID) {
  TaskItem task = newManualTask(std::nullopt);
  const QUuid id = task.id;
  if (auto* tasks = tasksOf(sessionID)) {
    if (!*tasks) tasks->emplace();
    (*tasks)->push_back(std::move(task));
    emit sessionChanged(sessionID);
  }
  return id;
}

std::optional<QUuid> LiveModel::addTask(const QUuid& sessionID, const QUuid& after) {
  const auto info = siblingsInfo(sessionID, after);
  if (!info) return std::nullopt;
  TaskItem task = newManualTask(info->task.parentID);
  const QUuid id = task.id;
  std::vector<TaskItem>& tasks = **tasksOf(sessionID);
  tasks.push_back(std::move(task));
  moveWithin(tasks, id, info->task.parentID, info->index + 1);
  emit sessionChanged(sessionID);
  scheduleSave(sessionID);
  return id;
}

void LiveModel::deleteTask(const QUuid& sessionID, const QUuid& taskID) {
  if (auto* tasks = tasksOf(sessionID)) {
    if (!*tasks) {
      tasks->emplace();
      emit sessionChanged(sessionID);
    } else if (const std::vector<char> marks = subtreeMarks(**tasks, taskID); lastMarked(marks)) {
      std::vector<TaskItem> kept;
      for (std::size_t i = 0; i < marks.size(); ++i) {
        if (!marks[i]) kept.push_back(std::move((**tasks)[i]));
      }
      **tasks = std::move(kept);
      emit sessionChanged(sessionID);
    }
  }
  scheduleSave(sessionID);
}

void LiveModel::copyTasks(const QUuid& sessionID) {
  const VoiceSession* found = session(sessionID);
  if (!found) return;
  std::string text;
  const std::vector<std::string> outline = found->taskOutline();
  for (std::size_t i = 0; i < outline.size(); ++i) {
    if (i > 0) text += '\n';
    text += outline[i];
  }
  services_.clipboard->setText(text);
}

}  // namespace veltovoice
