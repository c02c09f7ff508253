#include "voicememos/Store.h"

#include <pwd.h>
#include <unistd.h>

#include <filesystem>

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

}  // namespace
}  // namespace voicememos
