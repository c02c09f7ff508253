// Moving a task in the tasks panel runs on the GUI thread, once per drag:
//   BM_MoveTask            LiveModel::moveTask of one task to the end of another parent's
//                          children, in a tree of 2,000 tasks (200 parents in chains of 5 levels,
//                          9 leaves each); the debounced save it schedules is let go each time
//   BM_MoveTask_Baseline   copying the same task list once (target: moveTask at most 20 times it)
#include <cstdlib>
#include <memory>
#include <vector>

#include <QCoreApplication>
#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include "app/Model/LiveModel.h"
#include "tests/support/ManualClock.h"
#include "tests/support/TemporaryFolder.h"

namespace {

using veltovoice::LiveModel;
using veltovoice::LiveModelServices;
using veltovoice::TaskItem;
using veltovoice::VoiceSession;

constexpr int kParents = 200;
constexpr int kLevels = 5;
constexpr int kLeavesPerParent = 9;

std::vector<TaskItem> bigTree() {
  std::vector<TaskItem> tasks;
  std::optional<QUuid> above;
  for (int p = 0; p < kParents; ++p) {
    TaskItem parent;
    parent.title = fmt::format("見積と契約の確認をまとめる {}", p);
    parent.assignee = "佐藤";
    parent.parentID = p % kLevels == 0 ? std::nullopt : above;
    above = parent.id;
    tasks.push_back(parent);
    for (int l = 0; l < kLeavesPerParent; ++l) {
      TaskItem leaf;
      leaf.title = fmt::format("先方に見積書の金額を確認する {}-{}", p, l);
      leaf.due = "来週の金曜";
      leaf.sourceStart = p * 10.0 + l;
      leaf.parentID = parent.id;
      tasks.push_back(leaf);
    }
  }
  return tasks;
}

void BM_MoveTask(benchmark::State& state) {
  testsupport::TemporaryFolder data;
  testsupport::TemporaryFolder root;
  setenv("XDG_DATA_HOME", data.path().c_str(), 1);
  int argc = 0;
  QCoreApplication app(argc, nullptr);
  VoiceSession session;
  session.title = "定例会";
  session.tasks = bigTree();
  veltovoice::SessionStore::inFolder(root.path()).save(session);
  LiveModelServices services;
  services.clock = std::make_shared<testsupport::ManualClock>();
  auto model = std::make_unique<LiveModel>(root.path(), services);

  // A leaf of the first chain travels between two deep parents of other chains.
  const auto& tasks = *session.tasks;
  const QUuid moving = tasks[1].id;
  const QUuid parents[] = {tasks[(kLeavesPerParent + 1) * 104].id, tasks[(kLeavesPerParent + 1) * 159].id};
  int turn = 0;
  for (auto _ : state) {
    model->moveTask(session.id, moving, parents[turn], 1000);
    turn = 1 - turn;
    QCoreApplication::processEvents();
  }
  state.SetItemsProcessed(state.iterations());
  model.reset();
  QCoreApplication::processEvents();
}
BENCHMARK(BM_MoveTask)->Unit(benchmark::kMicrosecond);

void BM_MoveTask_Baseline(benchmark::State& state) {
  const std::vector<TaskItem> tasks = bigTree();
  for (auto _ : state) {
    std::vector<TaskItem> copy = tasks;
    benchmark::DoNotOptimize(copy.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MoveTask_Baseline)->Unit(benchmark::kMicrosecond);

}  // namespace
