// Deleting many sentences of a long conversation and undoing it, against the floor of copying the
// conversation's sentence list once. The conversation has 3,000 sentences and 100 topics; every
// third sentence is deleted (1,000), which moves a third of the topics.
//   BM_LiveModelDeleteSegments   deleteSegments() of 1,000 sentences followed by its undo; the
//                                pair is measured, each half should stay within 5x the floor
//   BM_SentenceListCopy          copying the 3,000-sentence list once
#include <cstdlib>
#include <memory>
#include <set>
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
using veltovoice::LiveSegment;
using veltovoice::TopicTag;
using veltovoice::VoiceSession;

constexpr int kSentences = 3000;
constexpr int kTopics = 100;

VoiceSession longConversation() {
  VoiceSession session;
  session.title = "長い会議";
  session.startedAt = 700000000.0;
  for (int i = 0; i < kSentences; ++i) {
    LiveSegment segment;
    segment.text = fmt::format("今日の議題は{}番目の項目について確認することです。", i);
    segment.start = i * 4.0;
    segment.end = i * 4.0 + 3.5;
    segment.speaker = i % 3;
    session.segments.push_back(segment);
  }
  session.topics.emplace();
  for (int t = 0; t < kTopics; ++t) {
    TopicTag topic;
    topic.title = fmt::format("話題{}", t);
    topic.startSegmentID = session.segments[static_cast<std::size_t>(t * (kSentences / kTopics))].id;
    session.topics->push_back(topic);
  }
  return session;
}

void BM_LiveModelDeleteSegments(benchmark::State& state) {
  testsupport::TemporaryFolder data;
  testsupport::TemporaryFolder root;
  setenv("XDG_DATA_HOME", data.path().c_str(), 1);
  int argc = 0;
  QCoreApplication app(argc, nullptr);
  const VoiceSession session = longConversation();
  veltovoice::SessionStore::inFolder(root.path()).save(session);
  auto clock = std::make_shared<testsupport::ManualClock>();
  LiveModelServices services;
  services.clock = clock;
  auto model = std::make_unique<LiveModel>(root.path(), services);
  std::set<QUuid> doomed;
  for (std::size_t i = 0; i < session.segments.size(); i += 3) doomed.insert(session.segments[i].id);

  for (auto _ : state) {
    model->deleteSegments(session.id, doomed);
    model->undoSegmentDeletion();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(doomed.size()));
  model.reset();
}
BENCHMARK(BM_LiveModelDeleteSegments)->Unit(benchmark::kMicrosecond);

void BM_SentenceListCopy(benchmark::State& state) {
  const VoiceSession session = longConversation();
  for (auto _ : state) {
    std::vector<LiveSegment> copy = session.segments;
    benchmark::DoNotOptimize(copy.data());
  }
}
BENCHMARK(BM_SentenceListCopy)->Unit(benchmark::kMicrosecond);

}  // namespace
