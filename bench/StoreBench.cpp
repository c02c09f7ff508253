// Conversation store start-up costs, over one sessions folder of 1,000 conversations of 300
// sentences each (with their Markdown renderings), written once under $TMPDIR:
//   BM_SessionStoreLoadAll   loadAll(): list, read and decode every conversation, sort
//   BM_FileReadAll           only reading the same conversation files' bytes: the floor that
//                            decoding adds to
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include "app/Model/SessionStore.h"
#include "platform/sys/FileIO.h"

namespace {

namespace fs = std::filesystem;
using veltovoice::LiveSegment;
using veltovoice::SessionStore;
using veltovoice::VoiceSession;

constexpr int kConversations = 1000;
constexpr int kSentences = 300;

VoiceSession makeConversation(int n) {
  VoiceSession s;
  s.title = fmt::format("{}月{}日 10:{:02} の録音", n % 12 + 1, n % 28 + 1, n % 60);
  s.startedAt = 700000000.0 + n * 3600.0;
  s.duration = kSentences * 4.0;
  s.audioFile = s.id.toString(QUuid::WithoutBraces).toUpper().toStdString() + ".m4a";
  s.speakerNames = {{0, "司会"}, {1, "田中"}};
  s.segments.reserve(kSentences);
  for (int i = 0; i < kSentences; ++i) {
    LiveSegment segment;
    segment.text = fmt::format("今日の議題は{}番目の項目について確認することです。", i);
    segment.start = i * 4.0 + 0.25;
    segment.end = i * 4.0 + 3.5;
    segment.speaker = i % 3;
    s.segments.push_back(std::move(segment));
  }
  s.markdownFile = fmt::format("2023-03-{:02} 1000 会議{}.md", n % 28 + 1, n);
  return s;
}

// The folder is built once per process and removed at exit.
class SessionsFolder {
 public:
  SessionsFolder() {
    std::string pattern = (fs::temp_directory_path() / "bench-store-XXXXXX").string();
    root_ = ::mkdtemp(pattern.data());
    store_ = SessionStore::inFolder(root_);
    for (int n = 0; n < kConversations; ++n) store_.save(makeConversation(n));
    for (const auto& entry : fs::directory_iterator(store_.sessionsDirectory)) {
      if (entry.path().extension() == ".json") {
        jsonFiles_.push_back(entry.path());
        bytes_ += static_cast<int64_t>(entry.file_size());
      }
    }
  }
  ~SessionsFolder() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  const SessionStore& store() const { return store_; }
  const std::vector<fs::path>& jsonFiles() const { return jsonFiles_; }
  int64_t bytes() const { return bytes_; }

 private:
  fs::path root_;
  SessionStore store_;
  std::vector<fs::path> jsonFiles_;
  int64_t bytes_ = 0;
};

const SessionsFolder& folder() {
  static const auto instance = std::make_unique<SessionsFolder>();
  return *instance;
}

void BM_SessionStoreLoadAll(benchmark::State& state) {
  const SessionsFolder& f = folder();
  for (auto _ : state) {
    std::vector<VoiceSession> sessions = f.store().loadAll();
    benchmark::DoNotOptimize(sessions.data());
    if (sessions.size() != kConversations) state.SkipWithError("conversations missing");
  }
  state.SetBytesProcessed(state.iterations() * f.bytes());
  state.SetItemsProcessed(state.iterations() * kConversations);
}
BENCHMARK(BM_SessionStoreLoadAll)->Unit(benchmark::kMillisecond);

void BM_FileReadAll(benchmark::State& state) {
  const SessionsFolder& f = folder();
  for (auto _ : state) {
    for (const fs::path& file : f.jsonFiles()) {
      std::string bytes = platform::readFile(file);
      benchmark::DoNotOptimize(bytes.data());
    }
  }
  state.SetBytesProcessed(state.iterations() * f.bytes());
  state.SetItemsProcessed(state.iterations() * kConversations);
}
BENCHMARK(BM_FileReadAll)->Unit(benchmark::kMillisecond);

}  // namespace
