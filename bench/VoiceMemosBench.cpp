// What reading Voice Memos files costs:
//   BM_TranscriptRead/<MiB>      the stored transcript of a file whose media data (a sparse 'mdat'
//                                of 1 MiB or 1 GiB) comes before the movie atom: the cost must not
//                                grow with the media, which is skipped by seeking.
//   BM_FindRecording             the recording finder over a folder of 5,000 stamped names.
//   BM_FindRecording_Baseline    a bare listing of the same folder.
//   BM_LibrarySearchPage         Store::search for the second 50-row page (cursor from the first)
//                                of a library of 100,000 recordings: open, read the columns, one
//                                query, close (target: at most 1.5 times the baseline's CPU time).
//   BM_LibrarySearchPage_Baseline  the same file opened read-only with plain SQLite, the same
//                                SELECT with the same bindings, then closed.
// Files go to a temporary folder; HOME points there so that the finder never sees the user's own.

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include <fmt/format.h>

#include "app/VoiceMemos/VoiceMemosController.h"
#include "tests/support/AtomBuilder.h"
#include "tests/support/TemporaryFolder.h"
#include "voicememos/Store.h"
#include "voicememos/Transcript.h"

namespace {

using namespace testsupport;

TemporaryFolder& scratch() {
  static TemporaryFolder folder;
  return folder;
}

std::filesystem::path fileWithMedia(std::uint64_t mediaBytes) {
  const auto path = scratch() / fmt::format("media-{}.m4a", mediaBytes);
  if (std::filesystem::exists(path)) return path;
  writeFile(path, join({atom("ftyp", raw("M4A ")), be32(1), raw("mdat"), be64(16 + mediaBytes)}));
  std::filesystem::resize_file(path, std::filesystem::file_size(path) + mediaBytes);
  const Bytes moov = atom(
      "moov", {mvhd(48000, 48000 * 60),
               atom("trak", {atom("udta", {atom("tsrp", raw(R"({"attributedString":["今日は",{"timeRange":[0,1.5]}]})"))})})});
  std::ofstream out(path, std::ios::binary | std::ios::app);
  out.write(reinterpret_cast<const char*>(moov.data()), static_cast<std::streamsize>(moov.size()));
  return path;
}

void BM_TranscriptRead(benchmark::State& state) {
  const auto path = fileWithMedia(static_cast<std::uint64_t>(state.range(0)) << 20);
  for (auto _ : state) {
    benchmark::DoNotOptimize(voicememos::Transcript::contentsOf(path));
  }
}
BENCHMARK(BM_TranscriptRead)->Arg(1)->Arg(1024);

std::filesystem::path recordingsWithNames(int count) {
  static bool made = false;
  const auto home = scratch() / "home";
  ::setenv("HOME", home.c_str(), 1);
  const auto folder = veltovoice::VoiceMemosController::recordingsFolder();
  if (!made) {
    std::filesystem::create_directories(folder);
    for (int i = 0; i < count; ++i) {
      const int day = 1 + i % 28, hour = i / 28 % 24, minute = i % 60;
      std::ofstream(folder / fmt::format("202501{:02d} {:02d}{:02d}00.m4a", day, hour, minute));
    }
    made = true;
  }
  return folder;
}

void BM_FindRecording(benchmark::State& state) {
  recordingsWithNames(5000);
  // Mid-month, so that a few hundred stamps lie within a day of it.
  const double near = std::chrono::duration<double>(
                          std::chrono::sys_days{std::chrono::year{2025} / 1 / 15} -
                          std::chrono::sys_days{std::chrono::year{2001} / 1 / 1})
                          .count() +
                      12 * 3600.0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(veltovoice::VoiceMemosController::findRecording(near, 30));
  }
  state.SetItemsProcessed(state.iterations() * 5000);
}
BENCHMARK(BM_FindRecording);

void BM_FindRecording_Baseline(benchmark::State& state) {
  const auto folder = recordingsWithNames(5000);
  for (auto _ : state) {
    std::size_t entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      benchmark::DoNotOptimize(entry.path());
      ++entries;
    }
    benchmark::DoNotOptimize(entries);
  }
  state.SetItemsProcessed(state.iterations() * 5000);
}
BENCHMARK(BM_FindRecording_Baseline);

// A library of 100,000 recordings (titles, folders, one in ten recently deleted, some undated),
// made once in one transaction.
std::filesystem::path largeLibrary() {
  const auto root = scratch() / "library";
  if (std::filesystem::exists(root / "CloudRecordings.db")) return root;
  std::filesystem::create_directories(root);
  sqlite3* db = nullptr;
  sqlite3_open((root / "CloudRecordings.db").c_str(), &db);
  sqlite3_exec(db,
               "CREATE TABLE ZCLOUDRECORDING (Z_PK INTEGER PRIMARY KEY, ZDATE REAL, ZPATH TEXT, "
               "ZEVICTIONDATE REAL, ZUNIQUEID TEXT, ZENCRYPTEDTITLE TEXT, ZCUSTOMLABEL TEXT, "
               "ZDURATION REAL, ZFOLDER INTEGER);"
               "CREATE TABLE ZFOLDER (Z_PK INTEGER PRIMARY KEY, ZENCRYPTEDNAME TEXT, ZRANK INTEGER);"
               "BEGIN;"
               "INSERT INTO ZFOLDER VALUES (1, 'Work', 0), (2, 'Home', 1), (3, 'Ideas', 2);"
               "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 100000) "
               "INSERT INTO ZCLOUDRECORDING SELECT i, CASE WHEN i % 997 = 0 THEN NULL ELSE "
               "700000000 + i * 60 END, i || '.m4a', CASE WHEN i % 10 = 0 THEN 760000000 END, "
               "'UID-' || i, CASE WHEN i % 3 = 0 THEN NULL ELSE 'Meeting ' || i END, 'Label ' || i, "
               "30 + i % 600, CASE WHEN i % 4 = 0 THEN NULL ELSE 1 + i % 3 END FROM n;"
               "COMMIT;",
               nullptr, nullptr, nullptr);
  sqlite3_close(db);
  return root;
}

voicememos::Recording::FetchRequest secondPageRequest(const std::filesystem::path& root) {
  voicememos::Recording::FetchRequest request;
  request.limit = 50;
  request.cursor = voicememos::Store(root).search(request).nextCursor;
  return request;
}

void BM_LibrarySearchPage(benchmark::State& state) {
  const auto root = largeLibrary();
  const auto request = secondPageRequest(root);
  voicememos::Store store(root);
  for (auto _ : state) {
    benchmark::DoNotOptimize(store.search(request));
  }
}
// The store works on its own queue, so the whole process's CPU time is measured.
BENCHMARK(BM_LibrarySearchPage)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);

// The statement that the store runs for this library and request, run with plain SQLite.
void BM_LibrarySearchPage_Baseline(benchmark::State& state) {
  const auto root = largeLibrary();
  const auto request = secondPageRequest(root);
  const std::string sql =
      "SELECT r.Z_PK, r.ZUNIQUEID, COALESCE(CASE WHEN typeof(r.ZENCRYPTEDTITLE) = 'text' THEN "
      "NULLIF(r.ZENCRYPTEDTITLE, '') END, CASE WHEN typeof(r.ZCUSTOMLABEL) = 'text' THEN "
      "NULLIF(r.ZCUSTOMLABEL, '') END), r.ZDATE, r.ZDURATION,\n    r.ZPATH, r.ZEVICTIONDATE, f.Z_PK, "
      "CASE WHEN typeof(f.ZENCRYPTEDNAME) = 'text' THEN NULLIF(f.ZENCRYPTEDNAME, '') END\n"
      "FROM ZCLOUDRECORDING r\nLEFT JOIN ZFOLDER f ON f.Z_PK = r.ZFOLDER\n"
      "WHERE r.ZEVICTIONDATE IS NULL AND (IFNULL(r.ZDATE, -1e+300) < ? OR (IFNULL(r.ZDATE, -1e+300) "
      "= ? AND r.Z_PK < ?))\nORDER BY IFNULL(r.ZDATE, -1e+300) DESC, r.Z_PK DESC\nLIMIT ?";
  const std::string path = (root / "CloudRecordings.db").string();
  for (auto _ : state) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr);
    sqlite3_bind_double(statement, 1, request.cursor->date);
    sqlite3_bind_double(statement, 2, request.cursor->date);
    sqlite3_bind_int64(statement, 3, request.cursor->id.rawValue);
    sqlite3_bind_int64(statement, 4, request.limit + 1);
    int rows = 0;
    while (sqlite3_step(statement) == SQLITE_ROW) ++rows;
    benchmark::DoNotOptimize(rows);
    sqlite3_finalize(statement);
    sqlite3_close(db);
  }
}
BENCHMARK(BM_LibrarySearchPage_Baseline)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);

}  // namespace
