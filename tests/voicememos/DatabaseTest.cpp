#include "voicememos/Database.h"

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <thread>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "platform/sys/CancellationError.h"
#include "tests/support/AtomBuilder.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/voicememos/LibraryBuilder.h"
#include "voicememos/VoiceMemosError.h"

namespace voicememos {
namespace {

using Kind = VoiceMemosError::Kind;
using Request = Recording::FetchRequest;
using testing::LibraryBuilder;
using testing::openDescriptorsOn;
using namespace std::chrono_literals;

template <class Call>
std::optional<Kind> kindOf(Call call) {
  try {
    call();
  } catch (const VoiceMemosError& error) {
    return error.kind();
  }
  return std::nullopt;
}

std::vector<std::int64_t> ids(const std::vector<Recording>& recordings) {
  std::vector<std::int64_t> all;
  for (const auto& r : recordings) all.push_back(r.id.rawValue);
  return all;
}

class DatabaseTest : public ::testing::Test {
 protected:
  // Blanks, "#", "?", "%" and a non-ASCII letter: the immutable open must still find the file.
  std::filesystem::path root() const { return folder_ / "Voice Memos #1 ?%é"; }

  std::unique_ptr<Database> open(std::chrono::duration<double> limit = 10s,
                                 Database::Clock clock = std::chrono::steady_clock::now) {
    return std::make_unique<Database>(root(), limit, std::stop_token(), std::move(clock));
  }

  // Every page of `request`, and whether each carried a cursor.
  std::vector<std::pair<std::vector<std::int64_t>, bool>> pages(Request request) {
    std::vector<std::pair<std::vector<std::int64_t>, bool>> all;
    for (int guard = 0; guard < 100; ++guard) {
      const auto page = open()->search(request, {});
      all.emplace_back(ids(page.recordings), page.next.has_value());
      if (!page.next) break;
      request.cursor = page.next;
    }
    return all;
  }

  testsupport::TemporaryFolder folder_;
};

TEST_F(DatabaseTest, ReportsLibrariesThatCannotBeRead) {
  std::filesystem::create_directories(root());
  EXPECT_EQ(kindOf([&] { open(); }), Kind::storeNotFound);

  std::filesystem::remove(root());
  testsupport::writeFile(root(), testsupport::raw("not a folder"));
  EXPECT_EQ(kindOf([&] { open(); }), Kind::storeNotReadable);

  std::filesystem::remove(root());
  std::filesystem::create_directories(root());
  const testsupport::Bytes garbage(8192, 0x5A);
  testsupport::writeFile(root() / "CloudRecordings.db", garbage);
  EXPECT_EQ(kindOf([&] { open(); }), Kind::storeNotReadable);
  EXPECT_EQ(testsupport::readFile(root() / "CloudRecordings.db"), garbage);
  EXPECT_EQ(openDescriptorsOn(root() / "CloudRecordings.db"), 0);
}

TEST_F(DatabaseTest, RequiresRecordingColumns) {
  struct Case {
    const char* name;
    const char* schema;
    std::optional<Kind> kind;
  };
  const Case cases[] = {
      {"noRecordingTable", "CREATE TABLE OTHER (X)", Kind::unsupportedSchema},
      {"noEvictionDate", "CREATE TABLE ZCLOUDRECORDING (Z_PK INTEGER PRIMARY KEY, ZDATE, ZPATH)",
       Kind::unsupportedSchema},
      {"noFolderTableIsFine",
       "CREATE TABLE ZCLOUDRECORDING (Z_PK INTEGER PRIMARY KEY, ZDATE, ZPATH, ZEVICTIONDATE)",
       std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(root());
    LibraryBuilder(root()).exec(c.schema);
    EXPECT_EQ(kindOf([&] { open(); }), c.kind);
    EXPECT_EQ(openDescriptorsOn(root() / "CloudRecordings.db"), 0);
  }
}

TEST_F(DatabaseTest, PagesNewestFirstWithoutGapsOrOverlaps) {
  LibraryBuilder library(root());
  library.standard();
  for (int id = 1; id <= 5; ++id) {
    library.exec(fmt::format("INSERT INTO ZCLOUDRECORDING (Z_PK, ZDATE, ZPATH) VALUES ({}, {}, 'x')",
                             id, 700000000 + id * 10));
  }
  using Pages = std::vector<std::pair<std::vector<std::int64_t>, bool>>;
  Request request;
  request.limit = 2;
  EXPECT_EQ(pages(request), (Pages{{{5, 4}, true}, {{3, 2}, true}, {{1}, false}}));
  request.limit = 5;
  EXPECT_EQ(pages(request), (Pages{{{5, 4, 3, 2, 1}, false}}));
  request.limit = std::numeric_limits<std::int64_t>::max();
  EXPECT_EQ(pages(request), (Pages{{{5, 4, 3, 2, 1}, false}}));

  for (std::int64_t limit : {0, -3}) {
    request.limit = limit;
    try {
      open()->search(request, {});
      ADD_FAILURE() << "searched with limit " << limit;
    } catch (const VoiceMemosError& error) {
      EXPECT_EQ(error, VoiceMemosError::invalidLimit(limit));
    }
  }
}

TEST_F(DatabaseTest, BreaksDateTiesByIdAndPutsUndatedLast) {
  LibraryBuilder library(root());
  library.standard().exec(
      "INSERT INTO ZCLOUDRECORDING (Z_PK, ZDATE, ZPATH) VALUES "
      "(1, 500, 'a'), (2, 500, 'b'), (3, NULL, 'c'), (4, NULL, 'd'), (5, 100, 'e')");
  using Pages = std::vector<std::pair<std::vector<std::int64_t>, bool>>;
  Request request;
  request.limit = 1;
  EXPECT_EQ(pages(request),
            (Pages{{{2}, true}, {{1}, true}, {{5}, true}, {{4}, true}, {{3}, false}}));

  request.limit = 4;
  const auto first = open()->search(request, {});
  ASSERT_TRUE(first.next);
  EXPECT_EQ(first.next->description(), "-1e+300:4");
}

TEST_F(DatabaseTest, AppliesEveryCondition) {
  LibraryBuilder library(root());
  library.standard().exec(
      "INSERT INTO ZFOLDER (Z_PK, ZENCRYPTEDNAME, ZRANK) VALUES (7, 'Work', 0);"
      "INSERT INTO ZCLOUDRECORDING (Z_PK, ZDATE, ZPATH, ZEVICTIONDATE, ZENCRYPTEDTITLE, "
      "ZCUSTOMLABEL, ZFOLDER) VALUES "
      "(1, 100, 'a', NULL, 'Café Meeting', NULL, 7),"
      "(2, 200, 'b', NULL, NULL, 'Standup', NULL),"
      "(3, 300, 'c', 999, 'Deleted cafe', NULL, 7),"
      "(4, 400, 'd', NULL, '', 'Label wins over empty title', 7)");
  struct Case {
    const char* name;
    Request request;
    std::vector<std::int64_t> ids;
  };
  auto request = [](auto change) {
    Request r;
    r.limit = 10;
    change(r);
    return r;
  };
  const Case cases[] = {
      {"library", request([](Request&) {}), {4, 2, 1}},
      {"recentlyDeleted", request([](Request& r) { r.scope = Request::Scope::recentlyDeleted; }), {3}},
      {"folder", request([](Request& r) { r.folder = Folder::ID{7}; }), {4, 1}},
      {"startInclusive", request([](Request& r) { r.startDate = 200; }), {4, 2}},
      {"endExclusive", request([](Request& r) { r.endDate = 200; }), {1}},
      {"lowerCaseQuery", request([](Request& r) { r.query = "cafe"; }), {1}},
      {"upperCaseAccentedQuery", request([](Request& r) { r.query = "CAFÉ"; }), {1}},
      {"labelQuery", request([](Request& r) { r.query = "label"; }), {4}},
      {"emptyQuery", request([](Request& r) { r.query = ""; }), {4, 2, 1}},
      {"sqlShapedQuery", request([](Request& r) { r.query = "' OR 1=1; DROP TABLE ZFOLDER; --"; }),
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ids(open()->search(c.request, {}).recordings), c.ids);
  }
  EXPECT_EQ(open()->folders({}).size(), 1u);

  const auto deleted = open()->recording(Recording::ID{3}, {});
  EXPECT_TRUE(deleted.isRecentlyDeleted());
  EXPECT_EQ(deleted.title, "Deleted cafe");
  EXPECT_EQ(deleted.folder, (Folder{{7}, "Work"}));
  try {
    open()->recording(Recording::ID{42}, {});
    ADD_FAILURE() << "found";
  } catch (const VoiceMemosError& error) {
    EXPECT_EQ(error, VoiceMemosError::recordingNotFound({42}));
  }
}

TEST_F(DatabaseTest, ReadsValuesOfUnexpectedStorageTypes) {
  LibraryBuilder library(root());
  library.standard().exec(
      "INSERT INTO ZCLOUDRECORDING (Z_PK, ZDATE, ZPATH, ZENCRYPTEDTITLE, ZUNIQUEID, ZDURATION) "
      "VALUES (1, 100, X'3432', X'3137', X'00FF', '12.5'),"
      "(2, 200, 'p', CAST(X'C328E282' AS TEXT), 'u', NULL)");
  Request request;
  request.limit = 10;
  const auto recordings = open()->search(request, {}).recordings;
  ASSERT_EQ(recordings.size(), 2u);
  EXPECT_EQ(recordings[1].title, std::nullopt);
  EXPECT_EQ(recordings[1].path, std::nullopt);
  EXPECT_EQ(recordings[1].uniqueID, std::nullopt);
  EXPECT_EQ(recordings[1].duration, 12.5);
  EXPECT_TRUE(recordings[0].title);  // not valid UTF-8, read without harm
  request.query = "x";
  EXPECT_TRUE(open()->search(request, {}).recordings.empty());
}

TEST_F(DatabaseTest, AdaptsStatementsToColumns) {
  struct Case {
    const char* name;
    std::string schema;
    std::optional<std::string> title;
    std::size_t folders;
  };
  const Case cases[] = {
      {"noTitleColumns",
       "CREATE TABLE ZCLOUDRECORDING (Z_PK INTEGER PRIMARY KEY, ZDATE, ZPATH, ZEVICTIONDATE, "
       "ZFOLDER); INSERT INTO ZCLOUDRECORDING VALUES (1, 1, 'p', NULL, 7)",
       std::nullopt, 0},
      {"onlyCustomLabel",
       "CREATE TABLE ZCLOUDRECORDING (Z_PK INTEGER PRIMARY KEY, ZDATE, ZPATH, ZEVICTIONDATE, "
       "ZCUSTOMLABEL, ZFOLDER); INSERT INTO ZCLOUDRECORDING VALUES (1, 1, 'p', NULL, 'label', 7)",
       "label", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(root());
    LibraryBuilder(root()).exec(c.schema);
    Request request;
    request.limit = 10;
    auto recordings = open()->search(request, {}).recordings;
    ASSERT_EQ(recordings.size(), 1u);
    EXPECT_EQ(recordings[0].title, c.title);
    EXPECT_EQ(recordings[0].folder, std::nullopt);
    EXPECT_EQ(open()->folders({}).size(), c.folders);
    request.query = "label";
    EXPECT_EQ(open()->search(request, {}).recordings.size(), c.title ? 1u : 0u);
    // Without a folder table the filter still applies to the recording's own column.
    request.query.reset();
    request.folder = Folder::ID{7};
    EXPECT_EQ(open()->search(request, {}).recordings.size(), 1u);
    request.folder = Folder::ID{8};
    EXPECT_TRUE(open()->search(request, {}).recordings.empty());
  }

  std::filesystem::remove_all(root());
  LibraryBuilder(root()).exec(
      "CREATE TABLE ZCLOUDRECORDING (Z_PK INTEGER PRIMARY KEY, ZDATE, ZPATH, ZEVICTIONDATE);"
      "INSERT INTO ZCLOUDRECORDING VALUES (1, 1, 'p', NULL);"
      "CREATE TABLE ZFOLDER (Z_PK INTEGER PRIMARY KEY, ZENCRYPTEDNAME);"
      "INSERT INTO ZFOLDER VALUES (3, 'beta'), (1, 'Alpha'), (2, 'alpha')");
  std::vector<std::int64_t> folderIds;
  for (const auto& folder : open()->folders({})) folderIds.push_back(folder.id.rawValue);
  EXPECT_EQ(folderIds, (std::vector<std::int64_t>{1, 2, 3}));
  Request request;
  request.limit = 10;
  request.folder = Folder::ID{1};
  const auto page = open()->search(request, {});
  EXPECT_TRUE(page.recordings.empty());
  EXPECT_FALSE(page.next);
}

TEST_F(DatabaseTest, ReportsBusyLibrary) {
  LibraryBuilder library(root());
  library.standard().exec("INSERT INTO ZCLOUDRECORDING (Z_PK, ZDATE, ZPATH) VALUES (1, 1, 'p')");
  auto db = open();
  std::atomic<bool> locked = false;
  std::atomic<bool> release = false;
  std::thread holder([&] {
    sqlite3* other = nullptr;
    sqlite3_open((root() / "CloudRecordings.db").c_str(), &other);
    sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr);
    locked = true;
    while (!release) std::this_thread::yield();
    sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(other);
  });
  while (!locked) std::this_thread::yield();
  Request request;
  request.limit = 1;
  EXPECT_EQ(kindOf([&] { db->search(request, {}); }), Kind::databaseBusy);
  release = true;
  holder.join();
}

// A clock that stands still until it has been read `reads` times, then jumps an hour ahead, and
// that can request a stop at that moment instead.
class SteppingClock {
 public:
  SteppingClock(int reads, std::stop_source* stop = nullptr) : reads_(reads), stop_(stop) {}

  Database::Clock clock() {
    return [this] {
      if (++count_ <= reads_) return start_;
      if (stop_) {
        stop_->request_stop();
        return start_;
      }
      return start_ + std::chrono::hours(1);
    };
  }

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  int reads_;
  int count_ = 0;
  std::stop_source* stop_;
};

TEST_F(DatabaseTest, StopsAtDeadlineAndOnStop) {
  LibraryBuilder(root()).standard().exec(
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 20000) "
      "INSERT INTO ZCLOUDRECORDING (Z_PK, ZDATE, ZPATH, ZENCRYPTEDTITLE) "
      "SELECT i, i, 'p', 'title ' || i FROM n");
  Request request;
  request.limit = 100;
  request.query = "no such title";

  EXPECT_EQ(kindOf([&] { open(0s); }), Kind::timedOut);

  // Opening reads the clock a few times; the scan then runs for many progress callbacks.
  for (int reads : {8, 20, 200}) {
    SCOPED_TRACE(reads);
    SteppingClock clock(reads);
    std::optional<Kind> kind;
    try {
      auto db = open(10s, clock.clock());
      kind = kindOf([&] { db->search(request, {}); });
    } catch (const VoiceMemosError& error) {
      kind = error.kind();
    }
    EXPECT_EQ(kind, Kind::timedOut);
    EXPECT_EQ(openDescriptorsOn(root() / "CloudRecordings.db"), 0);
  }

  // Between rows: a page of many rows with no text condition.
  request.query.reset();
  request.limit = 5000;
  {
    SteppingClock clock(12);
    EXPECT_EQ(kindOf([&] { open(10s, clock.clock())->search(request, {}); }), Kind::timedOut);
  }

  request.query = "no such title";
  std::stop_source stop;
  SteppingClock clock(20, &stop);
  auto db = std::make_unique<Database>(root(), 10s, stop.get_token(), clock.clock());
  EXPECT_THROW(db->search(request, stop.get_token()), platform::CancellationError);
  db.reset();
  EXPECT_EQ(openDescriptorsOn(root() / "CloudRecordings.db"), 0);
}

TEST_F(DatabaseTest, FallsBackToImmutableOpenWithoutWriteAheadLog) {
  {
    LibraryBuilder library(root());
    library.exec("PRAGMA journal_mode=WAL").standard().exec(
        "INSERT INTO ZCLOUDRECORDING (Z_PK, ZDATE, ZPATH) VALUES (1, 1, 'p')");
  }
  ASSERT_FALSE(std::filesystem::exists(root() / "CloudRecordings.db-wal"));
  // A shared-memory file that cannot be made: the normal read-only open fails.
  std::filesystem::create_symlink(folder_ / "missing" / "shm", root() / "CloudRecordings.db-shm");
  Request request;
  request.limit = 10;
  EXPECT_EQ(ids(open()->search(request, {}).recordings), std::vector<std::int64_t>{1});

  std::filesystem::remove(root() / "CloudRecordings.db-wal");
  testsupport::writeFile(root() / "CloudRecordings.db-wal", testsupport::raw("log"));
  EXPECT_EQ(kindOf([&] { open(); }), Kind::storeNotReadable);
}

}  // namespace
}  // namespace voicememos
