// What listing the recording store costs:
//   BM_RecordingsList            recordings() over 10,000 recordings of 20 segments each.
//   BM_RecordingsList_Baseline   the same SELECT with plain SQLite, every payload parsed into an
//                                nlohmann::json value and nothing more.
// The store's file lives in a temporary folder.

#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include "VoiceCore/VoiceStore.h"
#include "tests/support/TemporaryFolder.h"

namespace {

constexpr int kRecordings = 10000;
constexpr int kSegments = 20;

testsupport::TemporaryFolder& scratch() {
  static testsupport::TemporaryFolder folder;
  return folder;
}

std::filesystem::path filledStore() {
  static bool filled = false;
  const auto path = scratch() / "store.sqlite";
  if (!filled) {
    voicecore::VoiceStore store(path);
    for (int i = 0; i < kRecordings; ++i) {
      std::vector<voicecore::VoiceSegment> segments;
      for (int s = 0; s < kSegments; ++s) {
        segments.push_back({"今日の議題について確認します。", s * 3.0, s * 3.0 + 2.5});
      }
      auto recording = voicecore::VoiceRecording::make(platform::Uuid::random(), "定例会議",
                                                       "meeting.m4a", 1800.0, "done", segments);
      recording.importedAt = 750000000.0 + i;
      store.save(recording);
    }
    filled = true;
  }
  return path;
}

void BM_RecordingsList(benchmark::State& state) {
  voicecore::VoiceStore store(filledStore());
  for (auto _ : state) {
    benchmark::DoNotOptimize(store.recordings());
  }
  state.SetItemsProcessed(state.iterations() * kRecordings);
}
BENCHMARK(BM_RecordingsList)->Unit(benchmark::kMillisecond);

void BM_RecordingsList_Baseline(benchmark::State& state) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(filledStore().c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX, nullptr);
  for (auto _ : state) {
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db, "SELECT payload FROM recordings", -1, &statement, nullptr);
    std::vector<nlohmann::json> payloads;
    while (sqlite3_step(statement) == SQLITE_ROW) {
      const auto* bytes = static_cast<const char*>(sqlite3_column_blob(statement, 0));
      payloads.push_back(
          nlohmann::json::parse(bytes, bytes + sqlite3_column_bytes(statement, 0)));
    }
    sqlite3_finalize(statement);
    benchmark::DoNotOptimize(payloads);
  }
  sqlite3_close(db);
  state.SetItemsProcessed(state.iterations() * kRecordings);
}
BENCHMARK(BM_RecordingsList_Baseline)->Unit(benchmark::kMillisecond);

}  // namespace
