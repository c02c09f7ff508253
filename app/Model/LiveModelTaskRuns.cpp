#include "app/Model/LiveModel.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include <QPointer>

#include "app/Model/AppLog.h"
#include "app/Model/Clock.h"
#include "platform/lm/SystemLanguageModel.h"
#include "platform/sys/CancellationError.h"
#include "platform/text/Graphemes.h"
#include "platform/text/Whitespace.h"

namespace veltovoice {

namespace {

const std::string kExtractingText = "タスクを抜き出しています…";
const std::string kRegroupingText = "タスクをまとめています…";
// While recording, a run waits until more than this many characters have come together.
constexpr std::size_t kLiveThreshold = 399;
constexpr std::size_t kContextSentences = 3;

double startOrInfinity(const LiveSegment& segment) {
  return segment.start.value_or(std::numeric_limits<double>::infinity());
}

TaskItem automaticTask(std::string title) {
  TaskItem task;
  task.title = std::move(title);
  return task;
}

// Inserts `task` as the last child of `parent`, whose subtree ends at `last`: right after it, or
// at the end when the parent is not in the list.
void insertAsLastChild(std::vector<TaskItem>& tasks, const QUuid& parent,
                       std::optional<std::size_t> last, TaskItem task) {
  task.parentID = parent;
  const std::size_t at = last ? std::min(*last + 1, tasks.size()) : tasks.size();
  tasks.insert(tasks.begin() + static_cast<std::ptrdiff_t>(at), std::move(task));
}

std::string skipNotice(const std::vector<TaskExtractor::Skip>& skips) {
  std::string ranges;
  for (const TaskExtractor::Skip& skip : skips) {
    if (!ranges.empty()) ranges += "、";
    ranges += skip.range;
  }
  return ranges + " の部分は、言語モデルが応じなかったためタスクを抜き出せませんでした（" +
         skips.front().reason + "）。詳しくはヘルプ →「ログを開く」。";
}

}  // namespace

// What one extraction run carries from its start to its end.
struct LiveModel::TaskRun {
  std::uint64_t number = 0;
  std::vector<std::string> lines;
  std::vector<std::string> outline;
  // The greatest start among the scanned sentences; nothing when none has one.
  std::optional<double> scannedThrough;
  // The scanned sentences without a start.
  std::set<QUuid> startless;
};

bool LiveModel::languageModelUsable(bool notify) {
  if (!services_.languageModel) return false;
  const auto availability = services_.languageModel->availability();
  if (availability.isAvailable()) return true;
  if (notify) {
    setNotice(Notice{TaskExtractor::availabilityText(*availability.unavailableReason), std::nullopt});
  }
  return false;
}

std::string LiveModel::transcriptLine(const VoiceSession& session, const LiveSegment& segment) {
  std::string line = "[" + (segment.start ? clock(*segment.start) : std::string("--:--")) + "] ";
  if (segment.speaker) line += session.speakerName(*segment.speaker) + "：";
  std::string text = segment.text;
  std::replace(text.begin(), text.end(), '\n', ' ');
  return line + text;
}

// ---- Incremental extraction ------------------------------------------------------------------------

void LiveModel::extractTasksIfNeeded(const QUuid& id, bool live) {
  if (!languageModelUsable(false)) return;
  if (taskJobs_.contains(id)) return;
  const VoiceSession* found = session(id);
  if (!found) return;

  const double scannedThrough = found->tasksScannedThrough.value_or(-1);
  const auto startless = startlessScanned_.find(id);
  const auto scannedWithoutStart = [&](const LiveSegment& segment) {
    return !segment.start && startless != startlessScanned_.end() && startless->second.count(segment.id);
  };
  std::vector<LiveSegment> pending;
  std::vector<LiveSegment> context;
  for (const LiveSegment& segment : found->segments) {
    if (startOrInfinity(segment) > scannedThrough) {
      if (!scannedWithoutStart(segment)) pending.push_back(segment);
    } else {
      context.push_back(segment);
    }
  }
  if (pending.empty()) return;

  if (live) {
    pending.pop_back();
    std::size_t characters = 0;
    for (const LiveSegment& segment : pending) characters += platform::text::graphemeCount(segment.text);
    if (pending.empty() || characters <= kLiveThreshold) return;
  }
  if (context.size() > kContextSentences) context.erase(context.begin(), context.end() - kContextSentences);
  runTaskExtraction(id, pending, context);
}

// ---- Re-extraction --------------------------------------------------------------------------------

void LiveModel::reextractTasks(const QUuid& id) {
  if (!languageModelUsable(true)) return;
  if (const ConversationJobs::Handle* running = taskJobs_.find(id)) {
    ConversationJobs::Handle cancelled = *running;
    cancelled.stop.request_stop();
    taskJobs_.finish(id, cancelled.run);
    // The cancelled job leaves its text to whoever owns the conversation next; nobody may.
    if (const auto text = jobs_.find(id);
        text != jobs_.end() && (text->second == kExtractingText || text->second == kRegroupingText)) {
      setJob(id, std::nullopt);
    }
  }
  startlessScanned_.erase(id);
  const bool found = editSession(id, [](VoiceSession& s) {
    if (s.tasks) {
      std::erase_if(*s.tasks, [](const TaskItem& task) { return !task.manual && !task.done; });
    }
    s.tasksScannedThrough.reset();
  });
  if (!found) return;
  const std::vector<LiveSegment> segments = session(id)->segments;
  runTaskExtraction(id, segments, {});
}

// ---- One run ----------------------------------------------------------------------------------------

void LiveModel::runTaskExtraction(const QUuid& id, const std::vector<LiveSegment>& segments,
                                  const std::vector<LiveSegment>& context) {
  const VoiceSession* found = session(id);
  if (!found) return;
  auto run = std::make_shared<TaskRun>();
  for (const LiveSegment& segment : context) run->lines.push_back(transcriptLine(*found, segment));
  for (const LiveSegment& segment : segments) {
    run->lines.push_back(transcriptLine(*found, segment));
    if (segment.start) {
      run->scannedThrough = std::max(run->scannedThrough.value_or(*segment.start), *segment.start);
    } else {
      run->startless.insert(segment.id);
    }
  }
  run->outline = found->taskOutline();
  if (liveID_ != id) setJob(id, kExtractingText);
  const ConversationJobs::Handle handle = taskJobs_.start(id);
  run->number = handle.run;
  taskExtractionJob(id, std::move(run), handle.stop.get_token());
}

QCoro::Task<> LiveModel::taskExtractionJob(QUuid id, std::shared_ptr<TaskRun> run, std::stop_token stop) {
  QPointer<LiveModel> self(this);
  // Batches reach the tree while the run goes on; a cancelled run's late batch is dropped.
  auto onFound = [self, id, stop](const std::vector<TaskExtractor::Found>& batch) {
    if (!self || stop.stop_requested()) return;
    self->editSession(id, [&](VoiceSession& s) { insert(batch, s); });
    self->scheduleSave(id);
  };
  bool failed = false;
  try {
    auto extracting = TaskExtractor::extract(services_.languageModel, run->lines, run->outline,
                                             std::move(onFound), stop);
    const std::vector<TaskExtractor::Skip> skips = co_await std::move(extracting);
    if (!self) co_return;
    // An answer that came in as the run was cancelled must not move the point of the new run.
    platform::CancellationError::throwIfRequested(stop);
    if (run->scannedThrough) {
      editSession(id, [&](VoiceSession& s) {
        s.tasksScannedThrough = std::max(*run->scannedThrough, s.tasksScannedThrough.value_or(-1));
      });
    }
    if (!run->startless.empty() && session(id)) startlessScanned_[id].merge(run->startless);
    scheduleSave(id);
    for (const TaskExtractor::Skip& skip : skips) {
      AppLog::error("タスク抜き出しを飛ばした: 会話 " + idText(id) + " " + skip.range + " " + skip.reason);
    }
    if (!skips.empty()) setNotice(Notice{skipNotice(skips), std::nullopt});
  } catch (const platform::CancellationError&) {
  } catch (const std::exception& error) {
    failed = true;
    AppLog::error("タスク抜き出しの失敗: 会話 " + idText(id) + " " + AppLog::describe(error));
    if (self) setNotice(Notice{std::string("タスクを抜き出せませんでした: ") + error.what(), std::nullopt});
  }
  if (!self) co_return;
  // A run cancelled by re-extraction leaves the run that replaced it alone.
  if (!taskJobs_.finish(id, run->number)) co_return;
  endTaskExtraction(id, failed);
}

void LiveModel::endTaskExtraction(const QUuid& id, bool failed) {
  if (const auto text = jobs_.find(id); text != jobs_.end() && text->second == kExtractingText) {
    setJob(id, std::nullopt);
  }
  if (liveID_ != id) {
    const VoiceSession* found = session(id);
    if (!found || !found->topics) makeMinutes(id);
  }
  // After a failure the same sentences would fail again at once; the next sentence, the end of the
  // recording or the user tries again.
  if (!failed) extractTasksIfNeeded(id, liveID_ == id);
}

void LiveModel::insert(const std::vector<TaskExtractor::Found>& found, VoiceSession& session) {
  std::vector<TaskItem> tasks = session.tasks.value_or(std::vector<TaskItem>{});
  for (const TaskExtractor::Found& item : found) {
    TaskItem task = automaticTask(item.title);
    task.assignee = item.assignee;
    task.due = item.due;
    task.sourceStart = TaskExtractor::seconds(item.time);
    const std::string parentName = platform::text::trimBlanks(item.parent);
    if (parentName.empty() || TaskExtractor::similar(parentName, item.title)) {
      tasks.push_back(std::move(task));
      continue;
    }
    auto parent = std::find_if(tasks.begin(), tasks.end(), [&](const TaskItem& candidate) {
      return TaskExtractor::similar(candidate.title, parentName);
    });
    QUuid parentID;
    if (parent != tasks.end()) {
      parentID = parent->id;
    } else {
      tasks.push_back(automaticTask(parentName));
      parentID = tasks.back().id;
    }
    insertAsLastChild(tasks, parentID, lastDescendantIndex(parentID, tasks), std::move(task));
  }
  session.tasks = std::move(tasks);
}

// ---- Regrouping -------------------------------------------------------------------------------------

void LiveModel::regroupTasks(const QUuid& id) {
  if (!languageModelUsable(true)) return;
  if (taskJobs_.contains(id)) return;
  const VoiceSession* found = session(id);
  if (!found) return;
  std::vector<TaskItem> snapshot = found->tasks.value_or(std::vector<TaskItem>{});
  std::set<QUuid> parents;
  for (const TaskItem& task : snapshot) {
    if (task.parentID) parents.insert(*task.parentID);
  }
  std::vector<TaskItem> candidates;
  for (const TaskItem& task : snapshot) {
    if (!parents.count(task.id)) candidates.push_back(task);
  }
  if (candidates.size() < 2) return;
  setJob(id, kRegroupingText);
  const ConversationJobs::Handle handle = taskJobs_.start(id);
  regroupJob(id, handle.run, std::move(candidates), std::move(snapshot), handle.stop.get_token());
}

QCoro::Task<> LiveModel::regroupJob(QUuid id, std::uint64_t run, std::vector<TaskItem> candidates,
                                    std::vector<TaskItem> snapshot, std::stop_token stop) {
  QPointer<LiveModel> self(this);
  try {
    std::vector<std::string> titles;
    for (const TaskItem& task : candidates) titles.push_back(task.title);
    auto asking = TaskExtractor::regroup(services_.languageModel, std::move(titles), stop);
    const std::vector<TaskExtractor::Group> groups = co_await std::move(asking);
    if (!self) co_return;
    platform::CancellationError::throwIfRequested(stop);
    editSession(id, [&](VoiceSession& s) {
      std::vector<TaskItem> tasks = s.tasks.value_or(std::vector<TaskItem>{});
      applyGroups(groups, candidates, snapshot, tasks);
      s.tasks = std::move(tasks);
    });
    scheduleSave(id);
  } catch (const platform::CancellationError&) {
  } catch (const std::exception& error) {
    AppLog::error("タスクのまとめ直しの失敗: 会話 " + idText(id) + " " + AppLog::describe(error));
    if (self) setNotice(Notice{std::string("タスクをまとめられませんでした: ") + error.what(), std::nullopt});
  }
  if (!self) co_return;
  // A regrouping cancelled by re-extraction leaves the new run's entry and text alone.
  if (!taskJobs_.finish(id, run)) co_return;
  setJob(id, std::nullopt);
}

void LiveModel::applyGroups(const std::vector<TaskExtractor::Group>& groups,
                            const std::vector<TaskItem>& candidates,
                            const std::vector<TaskItem>& snapshot, std::vector<TaskItem>& tasks) {
  const auto isCandidate = [&](const TaskItem& task) {
    return std::find(candidates.begin(), candidates.end(), task) != candidates.end();
  };
  for (const TaskExtractor::Group& group : groups) {
    if (group.members.empty()) continue;
    const auto parent = std::find_if(tasks.begin(), tasks.end(), [&](const TaskItem& task) {
      return TaskExtractor::similar(task.title, group.title) && !isCandidate(task);
    });
    QUuid parentID;
    if (parent != tasks.end()) {
      parentID = parent->id;
    } else {
      tasks.push_back(automaticTask(group.title));
      parentID = tasks.back().id;
    }
    for (const int member : group.members) {
      if (member < 0 || static_cast<std::size_t>(member) >= candidates.size()) continue;
      const QUuid memberID = candidates[static_cast<std::size_t>(member)].id;
      const auto moving = std::find_if(tasks.begin(), tasks.end(),
                                       [&](const TaskItem& task) { return task.id == memberID; });
      if (moving == tasks.end() || memberID == parentID) continue;
      // A moved task may have become a parent of an earlier group; never under its own subtree.
      if (isDescendant(parentID, memberID, tasks)) continue;
      TaskItem task = std::move(*moving);
      tasks.erase(moving);
      insertAsLastChild(tasks, parentID, lastDescendantIndex(parentID, tasks), std::move(task));
    }
  }

  std::set<QUuid> formerParents;
  for (const TaskItem& task : snapshot) {
    if (task.parentID) formerParents.insert(*task.parentID);
  }
  std::set<QUuid> parents;
  for (const TaskItem& task : tasks) {
    if (task.parentID) parents.insert(*task.parentID);
  }
  std::erase_if(tasks, [&](const TaskItem& task) {
    return !task.manual && !task.done && !task.sourceStart && formerParents.count(task.id) &&
           !parents.count(task.id);
  });
}

}  // namespace veltovoice
