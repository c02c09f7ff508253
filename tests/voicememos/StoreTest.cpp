#include "voicememos/Store.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "platform/sys/CancellationError.h"
#include "tests/support/AtomBuilder.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/voicememos/LibraryBuilder.h"
#include "voicememos/VoiceMemosError.h"

namespace voicememos {
namespace {

using namespace std::chrono_literals;

class StoreTest : public ::testing::Test {
 protected:
  std::filesystem::path root() const { return folder_ / "Recordings"; }

  Recording withPath(std::optional<std::string> path, std::int64_t id = 9) {
    Recording recording;
    recording.id = Recording::ID{id};
    recording.path = std::move(path);
    return recording;
  }

  testsupport::TemporaryFolder folder_;
};

TEST_F(StoreTest, ReplacesTimeLimitsThatAreNotPositive) {
  EXPECT_EQ(Store::Configuration().timeLimit, 10s);
  EXPECT_EQ(Store::Configuration(0s).timeLimit, 10s);
  EXPECT_EQ(Store::Configuration(-1s).timeLimit, 10s);
  EXPECT_EQ(Store::Configuration(3s).timeLimit, 3s);
}

TEST_F(StoreTest, PagesWithRequestUnchanged) {
  testing::LibraryBuilder library(root());
  library.standard().exec(
      "INSERT INTO ZCLOUDRECORDING (Z_PK, ZDATE, ZPATH) VALUES (1,1,'a'),(2,2,'b'),(3,3,'c'),"
      "(4,4,'d'),(5,5,'e')");
  Store store(root());
  store.checkAccess();
  Recording::FetchRequest request;
  request.limit = 2;
  std::vector<bool> cursors;
  for (int guard = 0; guard < 10; ++guard) {
    const auto result = store.search(request);
    EXPECT_EQ(result.request, request);
    cursors.push_back(result.nextCursor.has_value());
    if (!result.nextCursor) break;
    request.cursor = result.nextCursor;
  }
  EXPECT_EQ(cursors, (std::vector<bool>{true, true, false}));

  std::stop_source stop;
  stop.request_stop();
  EXPECT_THROW(store.search(request, stop.get_token()), platform::CancellationError);
}

TEST_F(StoreTest, CheckAccessThrowsWhatOpeningThrows) {
  std::filesystem::create_directories(root());
  Store store(root());
  try {
    store.checkAccess();
    ADD_FAILURE() << "opened";
  } catch (const VoiceMemosError& error) {
    EXPECT_EQ(error, VoiceMemosError::storeNotFound());
  }
}

TEST_F(StoreTest, FindsAudioFilesOnlyInsideLibrary) {
  std::filesystem::create_directories(root() / "2024");
  std::filesystem::create_directories(folder_ / "elsewhere");
  testsupport::writeFile(root() / "2024" / "memo.m4a", testsupport::raw("audio"));
  testsupport::writeFile(root() / "memo.m4a", testsupport::raw("audio"));
  testsupport::writeFile(folder_ / "elsewhere.m4a", testsupport::raw("audio"));
  testsupport::writeFile(folder_ / "elsewhere" / "outside.m4a", testsupport::raw("audio"));
  std::filesystem::create_symlink(folder_ / "elsewhere" / "outside.m4a", root() / "link.m4a");
  Store store(root());  // no database: the audio files need none

  struct Case {
    const char* name;
    std::optional<std::string> path;
    std::optional<std::filesystem::path> file;
  };
  const Case cases[] = {
      {"relative", "2024/memo.m4a", root() / "2024" / "memo.m4a"},
      {"absoluteElsewhere", "/elsewhere/x/memo.m4a", root() / "memo.m4a"},
      {"parent", "../elsewhere.m4a", std::nullopt},
      {"linkOutside", "link.m4a", std::nullopt},
      {"folderItself", ".", std::nullopt},
      {"empty", "", std::nullopt},
      {"none", std::nullopt, std::nullopt},
      {"missing", "gone.m4a", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto file = store.audioFile(withPath(c.path));
    EXPECT_EQ(file ? std::optional(file->url) : std::nullopt, c.file);
    if (!c.file) {
      try {
        store.transcript(withPath(c.path, 9));
        ADD_FAILURE() << "read";
      } catch (const VoiceMemosError& error) {
        EXPECT_EQ(error, VoiceMemosError::audioFileNotFound({9}));
      }
    }
  }
}

TEST_F(StoreTest, ReadsTranscriptsOfAudioFiles) {
  std::filesystem::create_directories(root());
  testsupport::writeFile(root() / "with.m4a",
                         testsupport::voiceMemosFile(R"({"attributedString":"会議の記録"})"));
  testsupport::writeFile(root() / "without.m4a",
                         testsupport::atom("moov", {testsupport::mvhd(1000, 500)}));
  testsupport::writeFile(root() / "damaged.m4a",
                         testsupport::join({testsupport::be32(3), testsupport::raw("junk")}));
  Store store(root());
  const auto transcript = store.transcript(withPath("with.m4a"));
  ASSERT_TRUE(transcript);
  EXPECT_EQ(transcript->text, "会議の記録");
  EXPECT_EQ(store.transcript(withPath("without.m4a")), std::nullopt);
  try {
    store.transcript(withPath("damaged.m4a"));
    ADD_FAILURE() << "read";
  } catch (const VoiceMemosError& error) {
    EXPECT_EQ(error, VoiceMemosError::malformedAudioFile());
  }
}

TEST_F(StoreTest, DefaultRootIsInPasswordDatabaseHome) {
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(16384);
  ASSERT_EQ(getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found), 0);
  ASSERT_TRUE(found);
  if (!std::filesystem::is_directory(found->pw_dir)) GTEST_SKIP() << "no home folder";
  EXPECT_EQ(Store::defaultRoot(),
            std::filesystem::path(found->pw_dir) /
                "Library/Group Containers/group.com.apple.VoiceMemos.shared/Recordings");
}

TEST_F(StoreTest, StoppedCallsFailBeforeTouchingTheLibrary) {
  testing::LibraryBuilder(root()).standard().exec(
      "INSERT INTO ZCLOUDRECORDING (Z_PK, ZDATE, ZPATH) VALUES (1, 1, 'with.m4a')");
  testsupport::writeFile(root() / "with.m4a",
                         testsupport::voiceMemosFile(R"({"attributedString":"会議の記録"})"));
  Store store(root());
  const Recording recording = store.recording(Recording::ID{1});
  ASSERT_TRUE(store.audioFile(recording));

  std::stop_source stop;
  stop.request_stop();
  const auto token = stop.get_token();
  Recording::FetchRequest request;
  struct Case {
    const char* name;
    std::function<void()> call;
  };
  const Case cases[] = {
      {"checkAccess", [&] { store.checkAccess(token); }},
      {"folders", [&] { store.folders(token); }},
      {"search", [&] { store.search(request, token); }},
      {"recording", [&] { store.recording(Recording::ID{1}, token); }},
      {"transcript", [&] { store.transcript(recording, token); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_THROW(c.call(), platform::CancellationError);
    EXPECT_EQ(testing::openDescriptorsOn(root() / "CloudRecordings.db"), 0);
  }
  EXPECT_EQ(store.audioFile(recording, token), std::nullopt);  // never throws
}

// 100,000 recordings in a write-ahead-log library: paging walks every recording of the scope
// exactly once, in the order of date (undated last), then id, both descending.
TEST_F(StoreTest, PagesThroughALargeLibrary) {
  constexpr int kCount = 100000;
  {
    testing::LibraryBuilder library(root());
    library.exec("PRAGMA journal_mode=WAL").standard().exec(fmt::format(
        "BEGIN;"
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < {}) "
        "INSERT INTO ZCLOUDRECORDING (Z_PK, ZDATE, ZPATH, ZEVICTIONDATE, ZENCRYPTEDTITLE) "
        "SELECT i, CASE WHEN i % 997 = 0 THEN NULL ELSE 700000000 + i / 3 END, i || '.m4a', "
        "CASE WHEN i % 10 = 0 THEN 760000000 END, 'Memo ' || i FROM n;"
        "COMMIT;",
        kCount));
  }
  // Computed here without SQL: dated before undated, newer before older, larger id first.
  std::vector<std::tuple<bool, double, std::int64_t>> order;
  for (std::int64_t i = 1; i <= kCount; ++i) {
    if (i % 10 == 0) continue;
    const bool dated = i % 997 != 0;
    order.emplace_back(dated, dated ? 700000000.0 + static_cast<double>(i / 3) : 0.0, i);
  }
  std::sort(order.rbegin(), order.rend());
  std::vector<std::int64_t> expected;
  for (const auto& entry : order) expected.push_back(std::get<2>(entry));

  // A time limit that a slow (sanitizer) build on a busy machine cannot reach.
  Store store(root(), Store::Configuration(1h));
  Recording::FetchRequest request;
  // 90,000 recordings in the library scope, the last 90 undated: the third page ends among them,
  // so the last page starts from an undated cursor.
  request.limit = 29980;
  std::vector<std::int64_t> walked;
  for (int guard = 0; guard < 100; ++guard) {
    const auto page = store.search(request);
    for (const auto& recording : page.recordings) walked.push_back(recording.id.rawValue);
    if (!page.nextCursor) break;
    request.cursor = page.nextCursor;
  }
  EXPECT_EQ(walked, expected);

  request = {};
  request.limit = 100;
  request.query = "MEMO 4242";
  std::vector<std::int64_t> found;
  for (const auto& recording : store.search(request).recordings) found.push_back(recording.id.rawValue);
  EXPECT_EQ(found, (std::vector<std::int64_t>{42429, 42428, 42427, 42426, 42425, 42424, 42423, 42422,
                                              42421, 4242}));
}

}  // namespace
}  // namespace voicememos
