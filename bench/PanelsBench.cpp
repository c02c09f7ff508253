// What the tasks panel pays when the model publishes: one title of a 500-task tree changed in the
// model and the panel brought up to date (its rows reused, only the changed one touched), against
// building the same panel with all its rows anew. The model publishes often (job texts of other
// conversations, saves), so a refresh must stay a small share of a build.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include <QApplication>
#include <QCoreApplication>

#include "app/Editor/AudioPlayback.h"
#include "app/Editor/VeltoToolsDesign.h"
#include "app/Model/LiveModel.h"
#include "app/Model/SessionStore.h"
#include "app/Processing/TasksPanel.h"
#include "tests/support/ManualClock.h"
#include "tests/support/TemporaryFolder.h"

namespace {

using veltovoice::LiveModel;
using veltovoice::TaskItem;
using veltovoice::TasksPanel;

constexpr int kRoots = 100;
constexpr int kChildrenPerRoot = 4;  // 500 tasks in all

QApplication& application() {
  static int argc = 1;
  static char name[] = "bench_panels";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    auto* made = new QApplication(argc, argv);
    veltovoice::VeltoToolsDesign::applyTo(*made);
    benchmark::AddCustomContext("qt", qVersion());
    return made;
  }();
  return *app;
}

// A model over a temporary folder holding one conversation of 500 tasks with times; the clock
// stands still, so the debounced saves the edits ask for never run inside the measurement.
struct World {
  World() {
    veltovoice::VoiceSession session;
    session.title = "定例";
    std::vector<TaskItem> tasks;
    for (int r = 0; r < kRoots; ++r) {
      TaskItem root;
      root.title = "見積もりを作って先方に送る " + std::to_string(r);
      root.assignee = "佐藤";
      root.sourceStart = 30.0 * r;
      tasks.push_back(root);
      for (int c = 0; c < kChildrenPerRoot; ++c) {
        TaskItem child;
        child.title = "項目を確認する " + std::to_string(c);
        child.parentID = root.id;
        child.due = "金曜";
        tasks.push_back(child);
      }
    }
    session.tasks = tasks;
    id = session.id;
    first = tasks.front().id;
    veltovoice::SessionStore::inFolder(root.path()).save(session);
    veltovoice::LiveModelServices services;
    services.clock = clock;
    live = std::make_unique<LiveModel>(root.path(), services);
  }

  testsupport::TemporaryFolder root;
  std::shared_ptr<testsupport::ManualClock> clock = std::make_shared<testsupport::ManualClock>();
  std::unique_ptr<LiveModel> live;
  veltovoice::AudioPlayback player;
  QUuid id;
  QUuid first;
};

// One title changed in the model; the panel, already shown, follows it.
void BM_TasksPanelRefresh(benchmark::State& state) {
  application();
  World world;
  TasksPanel panel(*world.live, world.player);
  panel.setSessionID(world.id);
  panel.resize(TasksPanel::kWidth, 800);
  panel.show();
  QCoreApplication::processEvents();
  long long edits = 0;
  for (auto _ : state) {
    const std::string title = "見積もりを作って先方に送る（版 " + std::to_string(++edits % 7) + "）";
    world.live->updateTask(world.id, world.first, [&title](TaskItem& task) { task.title = title; });
    benchmark::DoNotOptimize(panel.rows().size());
  }
  state.SetItemsProcessed(state.iterations() * (kRoots * (1 + kChildrenPerRoot)));
}
BENCHMARK(BM_TasksPanelRefresh)->Unit(benchmark::kMicrosecond);

// The same panel built anew with its 500 rows.
void BM_TasksPanelRefresh_Baseline(benchmark::State& state) {
  application();
  World world;
  for (auto _ : state) {
    auto panel = std::make_unique<TasksPanel>(*world.live, world.player);
    panel->setSessionID(world.id);
    benchmark::DoNotOptimize(panel->rows().size());
    state.PauseTiming();
    panel.reset();
    QCoreApplication::processEvents();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * (kRoots * (1 + kChildrenPerRoot)));
}
BENCHMARK(BM_TasksPanelRefresh_Baseline)->Unit(benchmark::kMicrosecond);

}  // namespace
