#include "VoiceCore/VoiceStore.h"

#include <cmath>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include "VoiceCore/StoreError.h"
#include "platform/sys/FileError.h"
#include "platform/sys/JsonCodingError.h"
#include "tests/support/AtomBuilder.h"
#include "tests/support/TemporaryFolder.h"

namespace voicecore {
namespace {

using platform::Uuid;

// A second, plain connection to the store's file, for looking at rows and planting bad ones.
class RawDatabase {
 public:
  explicit RawDatabase(const std::filesystem::path& path) {
    EXPECT_EQ(sqlite3_open(path.c_str(), &db_), SQLITE_OK);
    exec("PRAGMA foreign_keys=ON");
  }
  ~RawDatabase() { sqlite3_close(db_); }
  RawDatabase(const RawDatabase&) = delete;
  RawDatabase& operator=(const RawDatabase&) = delete;

  void exec(const std::string& sql) {
    char* message = nullptr;
    EXPECT_EQ(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message), SQLITE_OK)
        << (message ? message : "") << " in " << sql;
    sqlite3_free(message);
  }

  // The first column of every row of `sql`, as text.
  std::vector<std::string> column(const std::string& sql) {
    sqlite3_stmt* statement = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr), SQLITE_OK);
    std::vector<std::string> values;
    while (sqlite3_step(statement) == SQLITE_ROW) {
      const auto* bytes = static_cast<const char*>(sqlite3_column_blob(statement, 0));
      values.emplace_back(bytes ? bytes : "", sqlite3_column_bytes(statement, 0));
    }
    sqlite3_finalize(statement);
    return values;
  }

 private:
  sqlite3* db_ = nullptr;
};

VoiceRecording recording(const std::string& title, double importedAt = 750000000.0) {
  VoiceRecording made = VoiceRecording::make(Uuid::random(), title, title + ".m4a", 62.5, "done",
                                             {{"はい", 0.0, 1.5}, {"無音", std::nullopt, std::nullopt}});
  made.importedAt = importedAt;
  return made;
}

std::vector<std::string> titles(const std::vector<VoiceRecording>& recordings) {
  std::vector<std::string> all;
  for (const auto& r : recordings) all.push_back(r.title);
  return all;
}

// The message of the StoreError that `call` throws, or "" when it throws none.
template <class Call>
std::string storeErrorOf(Call call) {
  try {
    call();
  } catch (const StoreError& error) {
    return error.message();
  }
  return "";
}

class VoiceStoreTest : public ::testing::Test {
 protected:
  std::filesystem::path path() const { return folder_ / "store.sqlite"; }

  VoiceStore& store() {
    if (!store_) store_ = std::make_unique<VoiceStore>(path());
    return *store_;
  }

  testsupport::TemporaryFolder folder_;
  std::unique_ptr<VoiceStore> store_;
};

TEST_F(VoiceStoreTest, StartsEmptyAndKeepsRowsAcrossOpenings) {
  const auto nested = folder_ / "a" / "b" / "c" / "store.sqlite";
  {
    VoiceStore store(nested);
    EXPECT_TRUE(store.recordings().empty());
    EXPECT_TRUE(store.bookmarks(Uuid::random()).empty());
    const auto saved = recording("会議");
    store.save(saved);
    store.add(VoiceBookmark::make(saved.id, 3, "要点"));
  }
  VoiceStore reopened(nested);
  const auto recordings = reopened.recordings();
  ASSERT_EQ(recordings.size(), 1u);
  EXPECT_EQ(recordings[0].title, "会議");
  EXPECT_EQ(reopened.bookmarks(recordings[0].id).size(), 1u);
}

TEST_F(VoiceStoreTest, StoresCompactPayloadsUnderUpperCaseIds) {
  const auto saved = recording("会議");
  store().save(saved);
  RawDatabase raw(path());
  EXPECT_EQ(raw.column("SELECT id FROM recordings"), std::vector<std::string>{saved.id.toString()});
  EXPECT_EQ(raw.column("SELECT payload FROM recordings"),
            std::vector<std::string>{saved.toJson().dump()});
  EXPECT_EQ(raw.column("SELECT typeof(payload) FROM recordings"), std::vector<std::string>{"blob"});
  EXPECT_EQ(store().recordings(), std::vector<VoiceRecording>{saved});
}

TEST_F(VoiceStoreTest, NeverReplacesStoredRecording) {
  auto first = recording("first");
  store().save(first);
  auto second = first;
  second.title = "second";
  EXPECT_EQ(storeErrorOf([&] { store().save(second); }), "データを保存できませんでした。");
  RawDatabase raw(path());
  EXPECT_EQ(raw.column("SELECT payload FROM recordings"),
            std::vector<std::string>{first.toJson().dump()});
}

TEST_F(VoiceStoreTest, BookmarkNeedsStoredRecording) {
  const auto later = recording("later");
  const auto bookmark = VoiceBookmark::make(later.id, 1, "");
  EXPECT_EQ(storeErrorOf([&] { store().add(bookmark); }), "データを保存できませんでした。");
  store().save(later);
  store().add(bookmark);
  EXPECT_EQ(store().bookmarks(later.id), std::vector<VoiceBookmark>{bookmark});
  EXPECT_EQ(storeErrorOf([&] { store().add(bookmark); }), "データを保存できませんでした。");
}

TEST_F(VoiceStoreTest, ChecksBookmarkPositions) {
  const auto saved = recording("r");
  store().save(saved);
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    const char* name;
    double seconds;
    bool accepted;
  };
  const Case cases[] = {
      {"zero", 0.0, true},         {"negativeZero", -0.0, true}, {"positive", 12.5, true},
      {"negative", -0.5, false},   {"infinity", inf, false},     {"negativeInfinity", -inf, false},
      {"nan", std::nan(""), false},
  };
  int accepted = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto message = storeErrorOf([&] { store().add(VoiceBookmark::make(saved.id, c.seconds, "")); });
    EXPECT_EQ(message, c.accepted ? "" : "ブックマークの位置が不正です。");
    accepted += c.accepted;
  }
  RawDatabase raw(path());
  EXPECT_EQ(raw.column("SELECT count(*) FROM bookmarks"),
            std::vector<std::string>{std::to_string(accepted)});
}

TEST_F(VoiceStoreTest, ListsNewestImportFirstAndBookmarksByPosition) {
  const auto older = recording("older", 100);
  const auto tieA = recording("tieA", 300);
  const auto newest = recording("newest", 400);
  const auto tieB = recording("tieB", 300);
  for (const auto* r : {&older, &tieA, &newest, &tieB}) store().save(*r);

  // Equal import times keep the order in which the database hands the rows out.
  RawDatabase raw(path());
  std::vector<std::string> tieOrder;
  for (const auto& payload : raw.column("SELECT payload FROM recordings")) {
    if (payload.find("\"tie") != std::string::npos) {
      tieOrder.push_back(payload.find("\"tieA\"") != std::string::npos ? "tieA" : "tieB");
    }
  }
  EXPECT_EQ(titles(store().recordings()),
            (std::vector<std::string>{"newest", tieOrder[0], tieOrder[1], "older"}));

  for (double seconds : {30.0, 5.0, 12.0}) store().add(VoiceBookmark::make(older.id, seconds, ""));
  store().add(VoiceBookmark::make(newest.id, 1.0, ""));
  std::vector<double> positions;
  for (const auto& bookmark : store().bookmarks(older.id)) positions.push_back(bookmark.seconds);
  EXPECT_EQ(positions, (std::vector<double>{5.0, 12.0, 30.0}));
}

TEST_F(VoiceStoreTest, UnencodableRecordLeavesTableUnchanged) {
  store().save(recording("kept"));
  auto badDuration = recording("nan");
  badDuration.duration = std::nan("");
  auto badSegment = recording("inf");
  badSegment.segments[0].end = std::numeric_limits<double>::infinity();
  for (const auto* bad : {&badDuration, &badSegment}) {
    EXPECT_THROW(store().save(*bad), platform::JsonCodingError);
  }
  EXPECT_EQ(titles(store().recordings()), std::vector<std::string>{"kept"});
}

TEST_F(VoiceStoreTest, ReportsPayloadsThatDoNotRead) {
  const auto good = recording("good");
  const std::string goodPayload = good.toJson().dump();
  struct Case {
    const char* name;
    std::string payloadSql;
    const char* storeError;  // nullptr: a JSON coding error is expected
  };
  const Case cases[] = {
      {"zeroLength", "zeroblob(0)", "保存データを読み込めませんでした。"},
      {"notJson", "CAST('not json' AS BLOB)", nullptr},
      {"missingKey", "CAST('{\"id\":\"" + Uuid::random().toString() + "\"}' AS BLOB)", nullptr},
      {"wrongType", "CAST('[1,2]' AS BLOB)", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::TemporaryFolder folder;
    VoiceStore store(folder / "store.sqlite");
    store.save(good);
    RawDatabase raw(folder / "store.sqlite");
    raw.exec("INSERT INTO recordings(id,payload) VALUES('planted'," + c.payloadSql + ")");
    if (c.storeError) {
      EXPECT_EQ(storeErrorOf([&] { store.recordings(); }), c.storeError);
    } else {
      EXPECT_THROW(store.recordings(), platform::JsonCodingError);
    }
    // The store stays usable after the failure.
    store.save(recording("after"));
  }
}

TEST_F(VoiceStoreTest, UndecodableBookmarkOfAnotherRecordingFailsTheList) {
  const auto mine = recording("mine");
  const auto other = recording("other");
  store().save(mine);
  store().save(other);
  store().add(VoiceBookmark::make(mine.id, 1, ""));
  RawDatabase raw(path());
  raw.exec("INSERT INTO bookmarks(id,recording_id,payload) VALUES('x','" + other.id.toString() +
           "',CAST('{\"note\":1}' AS BLOB))");
  EXPECT_THROW(store().bookmarks(mine.id), platform::JsonCodingError);
}

TEST_F(VoiceStoreTest, ReportsSelectThatCannotBePrepared) {
  store().save(recording("r"));
  RawDatabase(path()).exec("DROP TABLE bookmarks");
  // This read also brings the store's connection up to date with the changed schema.
  EXPECT_EQ(store().recordings().size(), 1u);
  EXPECT_EQ(storeErrorOf([&] { store().bookmarks(Uuid::random()); }),
            "読み込みを準備できませんでした。");
  EXPECT_EQ(store().recordings().size(), 1u);
}

TEST_F(VoiceStoreTest, RefusesPlacesThatHoldNoDatabase) {
  std::filesystem::create_directory(folder_ / "folder.sqlite");
  EXPECT_EQ(storeErrorOf([&] { VoiceStore(folder_ / "folder.sqlite"); }), "保存先を開けませんでした。");

  const testsupport::Bytes garbage(4096, 0xA5);
  testsupport::writeFile(folder_ / "garbage.sqlite", garbage);
  EXPECT_EQ(storeErrorOf([&] { VoiceStore(folder_ / "garbage.sqlite"); }),
            "保存領域を準備できませんでした。");
  EXPECT_EQ(testsupport::readFile(folder_ / "garbage.sqlite"), garbage);

  testsupport::writeFile(folder_ / "plain", testsupport::raw("x"));
  EXPECT_THROW(VoiceStore(folder_ / "plain" / "store.sqlite"), platform::FileError);
}

TEST_F(VoiceStoreTest, ServesThreadsOneOperationAtATime) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 25;
  std::vector<std::thread> threads;
  std::vector<int> failures(kThreads, 0);
  VoiceStore& shared = store();
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        try {
          const auto saved = recording("t" + std::to_string(t));
          shared.save(saved);
          shared.add(VoiceBookmark::make(saved.id, round, ""));
          if (shared.bookmarks(saved.id).size() != 1) ++failures[t];
          shared.recordings();
        } catch (const std::exception&) {
          ++failures[t];
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures, std::vector<int>(kThreads, 0));
  EXPECT_EQ(store().recordings().size(), static_cast<std::size_t>(kThreads * kRounds));
}

}  // namespace
}  // namespace voicecore
