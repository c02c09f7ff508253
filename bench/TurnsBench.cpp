// Applying the diarizer's complete turn list to a long recording, which happens twice a second on
// the GUI thread: 2,000 sentences of 2 s against 1,000 turns over the same hour. The budget is 2 %
// of the half-second delivery period, 10 ms.
//   BM_LiveModelApplyTurnsQuiet     the same turns again: every sentence judged, nothing changes
//   BM_LiveModelApplyTurnsChanging  two turn lists in turn that swap every sentence's speaker, so
//                                   that each delivery also writes them and schedules a save
//   BM_TurnListCopy                 the floor: copying the 1,000-turn list once
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

using Turn = devadevev::SpeakerDiarizer::Turn;
using veltovoice::LiveModel;
using veltovoice::LiveModelServices;
using veltovoice::LiveSegment;
using veltovoice::VoiceSession;

constexpr int kSentences = 2000;
constexpr int kTurns = 1000;

class BenchModel : public LiveModel {
 public:
  using LiveModel::LiveModel;
  using LiveModel::apply;
  using LiveModel::insertSession;
  using LiveModel::setLiveID;
};

// Sentences of 2 s with 0.2 s pauses; turns of 4.4 s, each covering two sentences.
VoiceSession longRecording() {
  VoiceSession session;
  session.title = "長い録音";
  for (int i = 0; i < kSentences; ++i) {
    LiveSegment segment;
    segment.text = fmt::format("{}番目の文です。", i);
    segment.start = i * 2.2;
    segment.end = i * 2.2 + 2.0;
    segment.speakerLocked = i % 50 == 0;
    session.segments.push_back(segment);
  }
  return session;
}

std::vector<Turn> turns(int shift) {
  std::vector<Turn> list;
  for (int i = 0; i < kTurns; ++i) list.push_back({(i + shift) % 4, i * 4.4, i * 4.4 + 4.4});
  return list;
}

// The model, its folders and the application object of one benchmark run.
struct Bench {
  Bench() {
    setenv("XDG_DATA_HOME", data.path().c_str(), 1);
    LiveModelServices services;
    services.clock = clock;
    model = std::make_unique<BenchModel>(root.path(), services);
    VoiceSession session = longRecording();
    const QUuid id = session.id;
    model->insertSession(0, std::move(session));
    model->setLiveID(id);
  }
  ~Bench() {
    model.reset();
    QCoreApplication::processEvents();
  }

  int argc = 0;
  QCoreApplication app{argc, nullptr};
  testsupport::TemporaryFolder data;
  testsupport::TemporaryFolder root;
  std::shared_ptr<testsupport::ManualClock> clock = std::make_shared<testsupport::ManualClock>();
  std::unique_ptr<BenchModel> model;
};

void BM_LiveModelApplyTurnsQuiet(benchmark::State& state) {
  Bench bench;
  const std::vector<Turn> list = turns(0);
  bench.model->apply(list);
  for (auto _ : state) bench.model->apply(list);
  state.SetItemsProcessed(state.iterations() * kSentences);
}
BENCHMARK(BM_LiveModelApplyTurnsQuiet)->Unit(benchmark::kMillisecond);

void BM_LiveModelApplyTurnsChanging(benchmark::State& state) {
  Bench bench;
  const std::vector<Turn> lists[] = {turns(0), turns(1)};
  int next = 0;
  for (auto _ : state) {
    bench.model->apply(lists[next]);
    next = 1 - next;
    state.PauseTiming();
    QCoreApplication::processEvents();  // lets the replaced debounce end
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kSentences);
}
BENCHMARK(BM_LiveModelApplyTurnsChanging)->Unit(benchmark::kMillisecond);

void BM_TurnListCopy(benchmark::State& state) {
  const std::vector<Turn> list = turns(0);
  for (auto _ : state) {
    std::vector<Turn> copy = list;
    benchmark::DoNotOptimize(copy.data());
  }
}
BENCHMARK(BM_TurnListCopy)->Unit(benchmark::kMicrosecond);

}  // namespace
