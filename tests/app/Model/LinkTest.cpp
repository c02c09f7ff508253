// Linking conversations to their Voice Memos recordings, on the real model, store, finder and
// FFmpeg files, with the pauses on the hand-driven clock.

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>

#include <QMetaObject>
#include <gmock/gmock.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include "tests/app/Model/ImportLinkFixture.h"
#include "tests/support/AtomBuilder.h"

namespace veltovoice::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

const char* const kNotFound = "この会話の録音がボイスメモに見つかりませんでした。";
std::string linkAccess(const fs::path& folder) {
  return "ボイスメモの録音フォルダ（" + folder.string() +
         "）を読めません。フォルダの場所と読み取りの許可を確かめてから、会話の「録音を探す」を押します。";
}
std::string startupAccess(const fs::path& folder) {
  return "ボイスメモの録音フォルダ（" + folder.string() +
         "）を読めません。フォルダの場所と読み取りの許可を確かめてから VELTO VOICE を開き直します（0.5 以前の会話だけに必要です）。";
}
const char* const kCopyFailed = "録音をコピーできませんでした: ";

class LinkTest : public ImportLinkFixture {
 protected:
  // A Voice Memos recording of `seconds` named `name`.
  fs::path recording(const std::string& name, double seconds = 1.0) {
    fs::create_directories(recordings());
    writeTone(recordings() / name, seconds);
    return recordings() / name;
  }

  // A conversation started on 2 January 2025 at 10:00:00 in Tokyo, stored, loaded by a model whose
  // start-up pass has ended before the recordings appear.
  VoiceSession tenOClock(const std::function<void(VoiceSession&)>& change = {}) {
    VoiceSession session = conversation("十時の会議", jan2Tokyo(10, 0, 0));
    if (change) change(session);
    stored(session);
    modelAfterStartupPass();
    return session;
  }

  // Links `id` and drives the clock until the link ends; returns the seconds it took.
  double link(const QUuid& id, bool waitForFile = false, bool quiet = false) {
    const double before = clock_->elapsed();
    QCoro::Task<> linking = model().linkAudio(id, waitForFile, quiet);
    drive(linking);
    return clock_->elapsed() - before;
  }

  const VoiceSession& linked(const QUuid& id) { return *model().session(id); }
  std::string copyName(const QUuid& id, const std::string& extension) {
    return LiveModel::idText(id) + extension;
  }
};

TEST_F(LinkTest, TakesTheNearestRecordingWithinThirtySecondsAndSavesAtOnce) {
  const VoiceSession session = tenOClock();
  const fs::path near = recording("20250102 100020.m4a", 1.0);
  recording("20250102 100040.m4a", 2.0);
  recording("20250102 095935.m4a", 3.0);  // 25 s before: within reach, but farther
  link(session.id);
  const VoiceSession& now = linked(session.id);
  EXPECT_EQ(now.audioFile, copyName(session.id, ".m4a"));
  EXPECT_EQ(bytesOf(audioFolder() / *now.audioFile), bytesOf(near));
  ASSERT_TRUE(now.duration);
  EXPECT_NEAR(*now.duration, 1.0, 0.01);
  EXPECT_EQ(model().notice(), std::nullopt);
  const std::optional<VoiceSession> saved = onDisk(session.id);
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->audioFile, now.audioFile);
  EXPECT_EQ(saved->duration, now.duration);
  EXPECT_THAT(audioEntries(), ElementsAre(*now.audioFile));
}

TEST_F(LinkTest, CopyKeepsTheRecordingsExtensionAndReplacesEarlierRecordingAndDuration) {
  struct Case {
    const char* name;
    const char* recordingName;
    bool audible;                       // FFmpeg audio, else a movie file without an audio stream
    std::optional<double> earlierDuration;
    std::optional<double> expectedDuration;
  };
  const Case cases[] = {
      {"quicktime", "20250102 100005 会議.qta", true, 99.0, 1.5},
      {"capital extension", "20250102 100005.M4A", true, std::nullopt, 1.5},
      {"no audio stream keeps the duration", "20250102 100005.m4a", false, 99.0, 99.0},
      {"no audio stream and no duration", "20250102 100005.m4a", false, std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(recordings());
    fs::create_directories(recordings());
    const fs::path source = recordings() / c.recordingName;
    if (c.audible) {
      const fs::path made = sources_ / "made.m4a";
      writeTone(made, 1.5);
      fs::rename(made, source);
    } else {
      writeBytes(source, asString(testsupport::voiceMemosFile(R"({"attributedString":"x"})")));
    }
    VoiceSession session = conversation(c.name, jan2Tokyo(10, 0, 0));
    session.duration = c.earlierDuration;
    const std::string extension = fs::path(c.recordingName).extension().string();
    session.audioFile = copyName(session.id, extension);
    fs::create_directories(audioFolder());
    writeBytes(audioFolder() / *session.audioFile, "an earlier copy");
    stored(session);
    model_.reset();
    modelAfterStartupPass();

    link(session.id);
    const VoiceSession& now = linked(session.id);
    EXPECT_EQ(now.audioFile, copyName(session.id, extension));
    EXPECT_EQ(bytesOf(audioFolder() / *now.audioFile), bytesOf(source));
    if (c.expectedDuration) {
      ASSERT_TRUE(now.duration);
      EXPECT_NEAR(*now.duration, *c.expectedDuration, 0.01);
    } else {
      EXPECT_EQ(now.duration, std::nullopt);
    }
    EXPECT_EQ(onDisk(session.id)->audioFile, now.audioFile);
  }
}

TEST_F(LinkTest, NothingFoundShowsANoticeOnlyWhenTheUserAskedAndDidNotWait) {
  struct Case {
    const char* name;
    bool folderExists;
    bool waitForFile;
    bool quiet;
    bool notice;
    double seconds;  // virtual time the link takes
  };
  const Case cases[] = {
      {"user, empty folder", true, false, false, true, 1.0},
      {"user, no folder", false, false, false, true, 1.0},
      {"quiet", true, false, true, false, 1.0},
      {"quiet, no folder", false, false, true, false, 1.0},
      {"waiting", true, true, false, false, 20.0},
      {"waiting, no folder", false, true, false, false, 20.0},
  };
  const VoiceSession session = tenOClock();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(recordings());
    if (c.folderExists) {
      recording("20250102 100031.m4a");  // one second too far
    }
    model().setNotice(std::nullopt);
    QCoro::Task<> linking = model().linkAudio(session.id, c.waitForFile, c.quiet);
    settle(linking);
    EXPECT_EQ(model().notice(), std::nullopt) << "nothing before the pause";
    const double before = clock_->elapsed();
    drive(linking);
    EXPECT_NEAR(clock_->elapsed() - before, c.seconds, 0.07);
    if (c.notice) {
      EXPECT_EQ(model().notice(), (LiveModel::Notice{kNotFound, std::nullopt}));
    } else {
      EXPECT_EQ(model().notice(), std::nullopt);
    }
    EXPECT_EQ(linked(session.id), session);
    EXPECT_FALSE(fs::exists(audioFolder()));
  }
}

TEST_F(LinkTest, NamesThatAreNoRecordingStampsAndFoldersAreNotFound) {
  const VoiceSession session = tenOClock();
  fs::create_directories(recordings() / "20250102 100000.m4a");  // a folder named like one
  for (const char* name : {"2025010 10000.m4a", "20250102-100000.m4a", "20250132 100000.m4a",
                           "20250102 100000.wav", "録音 20250102 100000.m4a"}) {
    writeTone(recordings() / name, 0.25);
  }
  EXPECT_DOUBLE_EQ(link(session.id), 1.0);
  EXPECT_EQ(model().notice(), (LiveModel::Notice{kNotFound, std::nullopt}));
  EXPECT_EQ(linked(session.id), session);
  EXPECT_FALSE(fs::exists(audioFolder()));
}

TEST_F(LinkTest, WaitingLooksAgainEachSecondUntilTheRecordingAppears) {
  const VoiceSession session = tenOClock();
  const double start = clock_->elapsed();
  QCoro::Task<> linking = model().linkAudio(session.id, true, false);
  fs::path appeared;
  drive(linking, 0.0625, [&] {
    if (appeared.empty() && clock_->elapsed() - start > 5.5) appeared = recording("20250102 100001.m4a");
  });
  // Found by the search at 6 s, copied after one pause of 0.7 s with the same size.
  EXPECT_NEAR(clock_->elapsed() - start, 6.7, 0.07);
  EXPECT_EQ(linked(session.id).audioFile, copyName(session.id, ".m4a"));
  EXPECT_EQ(bytesOf(audioFolder() / copyName(session.id, ".m4a")), bytesOf(appeared));
  EXPECT_EQ(model().notice(), std::nullopt);
}

TEST_F(LinkTest, CopiesAfterTwoEqualSizesAboveZeroOrAfterTwentyPauses) {
  struct Case {
    const char* name;
    std::size_t initialBytes;
    std::vector<int> growBeforePause;  // pauses (from 1) before which the file grows
    int pauses;
  };
  const Case cases[] = {
      {"settled", 4000, {}, 1},
      {"grows once", 4000, {1}, 2},
      {"grows on two pauses in a row", 4000, {1, 2}, 3},
      {"empty until it grows", 0, {5}, 6},
      {"always empty", 0, {}, 20},
      {"grows on every pause", 10, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20}, 20},
  };
  const VoiceSession session = tenOClock();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(recordings());
    fs::create_directories(recordings());
    fs::remove_all(audioFolder());
    const fs::path file = recordings() / "20250102 100000.m4a";
    writeBytes(file, std::string(c.initialBytes, 'a'));
    QCoro::Task<> linking = model().linkAudio(session.id, false, false);
    int pause = 0;
    for (settle(linking); !linking.isReady(); settle(linking)) {
      ++pause;
      if (std::count(c.growBeforePause.begin(), c.growBeforePause.end(), pause)) {
        std::ofstream(file, std::ios::binary | std::ios::app) << "more";
      }
      EXPECT_FALSE(fs::exists(audioFolder() / copyName(session.id, ".m4a"))) << "pause " << pause;
      clock_->advance(0.7);
    }
    EXPECT_EQ(pause, c.pauses);
    EXPECT_EQ(bytesOf(audioFolder() / copyName(session.id, ".m4a")), bytesOf(file));
    EXPECT_EQ(linked(session.id).audioFile, copyName(session.id, ".m4a"));
  }
}

TEST_F(LinkTest, FileThatAThreadKeepsGrowingIsCopiedAfterTheTwentiethPause) {
  const VoiceSession session = tenOClock();
  fs::create_directories(recordings());
  const fs::path file = recordings() / "20250102 100000.qta";
  writeBytes(file, "start");
  std::atomic<bool> stop = false;
  std::thread grower([&] {
    std::ofstream out(file, std::ios::binary | std::ios::app);
    while (!stop) {
      out << std::string(64, 'g') << std::flush;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  QCoro::Task<> linking = model().linkAudio(session.id, false, false);
  int pauses = 0;
  for (settle(linking); !linking.isReady(); settle(linking)) {
    // Every reading after this pause is larger than any before it.
    const auto size = fs::file_size(file);
    runUntil([&] { return fs::file_size(file) > size; });
    ++pauses;
    clock_->advance(0.7);
  }
  stop = true;
  grower.join();
  EXPECT_EQ(pauses, 20);
  const fs::path copy = audioFolder() / copyName(session.id, ".qta");
  EXPECT_EQ(linked(session.id).audioFile, copy.filename().string());
  EXPECT_GT(fs::file_size(copy), 5u);
  EXPECT_EQ(bytesOf(copy), bytesOf(file).substr(0, fs::file_size(copy)));
}

TEST_F(LinkTest, WithoutAccessTheLinkShowsTheFullDiskAccessNoticeEvenWhenQuiet) {
  const VoiceSession session = tenOClock();
  fs::create_directories(recordings().parent_path());
  writeBytes(recordings(), "a file where the folder should be");
  for (bool quiet : {false, true}) {
    SCOPED_TRACE(quiet);
    model().setNotice(std::nullopt);
    const double seconds = link(session.id, false, quiet);
    EXPECT_EQ(seconds, 0) << "no pause";
    EXPECT_EQ(model().notice(),
              (LiveModel::Notice{linkAccess(recordings()), LiveModel::Notice::Action::fullDiskAccess}));
    EXPECT_EQ(linked(session.id), session);
  }
}

TEST_F(LinkTest, StartupPassWithoutAccessAsksToReopenAndStopsAtTheFirst) {
  VoiceSession withAudio = conversation("録音あり", jan2Tokyo(12, 0, 0));
  withAudio.audioFile = LiveModel::idText(withAudio.id) + ".m4a";
  stored(withAudio);
  stored(conversation("録音なし1", jan2Tokyo(11, 0, 0)));
  stored(conversation("録音なし2", jan2Tokyo(10, 0, 0)));
  fs::create_directories(recordings().parent_path());
  writeBytes(recordings(), "a file where the folder should be");
  LiveModel& live = model();
  QCoreApplication::processEvents();
  EXPECT_EQ(live.notice(),
            (LiveModel::Notice{startupAccess(recordings()), LiveModel::Notice::Action::fullDiskAccess}));
  EXPECT_EQ(clock_->pendingSleeps(), 0) << "the pass ended at once";
}

TEST_F(LinkTest, StartupPassLinksWhatItFindsQuietlyOneAfterTheOther) {
  VoiceSession withAudio = conversation("録音あり", jan2Tokyo(12, 0, 0));
  withAudio.audioFile = LiveModel::idText(withAudio.id) + ".m4a";
  stored(withAudio);
  const VoiceSession found = stored(conversation("見つかる", jan2Tokyo(11, 0, 0)));
  const VoiceSession missing = stored(conversation("見つからない", jan2Tokyo(10, 0, 0)));
  const VoiceSession alsoFound = stored(conversation("これも", jan2Tokyo(9, 0, 0)));
  const fs::path eleven = recording("20250102 110003.m4a", 1.0);
  const fs::path nine = recording("20250102 090010.m4a", 0.5);
  recording("20250102 120000.m4a", 2.0);  // the conversation that has its recording keeps it

  LiveModel& live = model();
  QCoreApplication::processEvents();
  runUntil([&] {
    QCoreApplication::processEvents();
    if (clock_->pendingSleeps() > 0) clock_->advance(0.05);
    return live.session(alsoFound.id)->audioFile.has_value();
  });
  EXPECT_EQ(live.notice(), std::nullopt);
  EXPECT_EQ(live.session(withAudio.id)->audioFile, withAudio.audioFile);
  EXPECT_EQ(live.session(missing.id)->audioFile, std::nullopt);
  EXPECT_EQ(bytesOf(audioFolder() / *live.session(found.id)->audioFile), bytesOf(eleven));
  EXPECT_EQ(bytesOf(audioFolder() / *live.session(alsoFound.id)->audioFile), bytesOf(nine));
  // One settled-size pause each, and the pause after finding nothing for the one in between.
  EXPECT_NEAR(clock_->elapsed(), 0.7 + 1.0 + 0.7, 0.2);
}

TEST_F(LinkTest, MissingLibraryShowsNoAccessNoticeAnywhere) {
  stored(conversation("録音なし", jan2Tokyo(10, 0, 0)));
  LiveModel& live = modelAfterStartupPass();
  EXPECT_EQ(live.notice(), std::nullopt);
  link(live.sessionAt(0).id);
  EXPECT_EQ(live.notice(), (LiveModel::Notice{kNotFound, std::nullopt}));
}

TEST_F(LinkTest, FailedCopyKeepsTheEarlierRecordingAndTheConversation) {
  struct Case {
    const char* name;
    std::function<void()> breakIt;  // runs when the link has found the recording
    std::string mention;            // a part of the error's description
  };
  const VoiceSession session = tenOClock([this](VoiceSession& s) {
    s.audioFile = copyName(s.id, ".m4a");
    s.duration = 42.0;
  });
  const fs::path source = recordings() / "20250102 100000.m4a";
  const Case cases[] = {
      {"recording deleted before the copy", [&] { fs::remove(source); }, source.string()},
      {"audio path is a file", [&] {
         fs::rename(audioFolder(), root() / "Audio.away");
         writeBytes(audioFolder(), "not a folder");
       }, audioFolder().string()},
      {"full disk", [&] {
         std::signal(SIGXFSZ, SIG_IGN);
         rlimit limit{};
         ::getrlimit(RLIMIT_FSIZE, &limit);
         const rlimit full{32 * 1024, limit.rlim_max};
         ::setrlimit(RLIMIT_FSIZE, &full);
       }, strerror(EFBIG)},
  };
  rlimit unlimited{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &unlimited), 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (fs::is_regular_file(audioFolder())) fs::remove(audioFolder());
    if (fs::exists(root() / "Audio.away")) fs::rename(root() / "Audio.away", audioFolder());
    fs::create_directories(audioFolder());
    writeBytes(audioFolder() / *session.audioFile, "the earlier recording");
    fs::create_directories(recordings());
    writeBytes(source, std::string(200 * 1024, 'r'));
    model().setNotice(std::nullopt);

    QCoro::Task<> linking = model().linkAudio(session.id, false, false);
    settle(linking);
    c.breakIt();
    drive(linking);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &unlimited), 0);

    ASSERT_TRUE(model().notice());
    EXPECT_THAT(model().notice()->text, StartsWith(kCopyFailed));
    EXPECT_THAT(model().notice()->text, HasSubstr(c.mention));
    EXPECT_EQ(model().notice()->action, std::nullopt);
    EXPECT_EQ(linked(session.id), session);
    const fs::path earlier = fs::is_directory(audioFolder()) ? audioFolder() : root() / "Audio.away";
    EXPECT_EQ(bytesOf(earlier / *session.audioFile), "the earlier recording");
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(earlier)) left.push_back(entry.path().filename().string());
    EXPECT_THAT(left, ElementsAre(*session.audioFile)) << "no temporary file is left";
  }
}

TEST_F(LinkTest, RecordingThatLinksToTheTargetItselfStaysWhole) {
  const VoiceSession session = tenOClock([this](VoiceSession& s) { s.audioFile = copyName(s.id, ".m4a"); });
  fs::create_directories(audioFolder());
  const fs::path target = audioFolder() / *session.audioFile;
  writeTone(target, 1.0);
  const std::string original = bytesOf(target);
  fs::create_directories(recordings());
  fs::create_symlink(target, recordings() / "20250102 100000.m4a");
  link(session.id);
  EXPECT_EQ(model().notice(), std::nullopt);
  EXPECT_EQ(bytesOf(target), original);
  ASSERT_TRUE(linked(session.id).duration);
  EXPECT_NEAR(*linked(session.id).duration, 1.0, 0.01);
}

TEST_F(LinkTest, ConversationDeletedWhileWaitingEndsTheLinkWithoutACopy) {
  const VoiceSession session = tenOClock();
  recording("20250102 100000.m4a");
  QCoro::Task<> linking = model().linkAudio(session.id, false, false);
  settle(linking);
  model().deleteSession(session.id);
  drive(linking);
  EXPECT_THAT(audioEntries(), IsEmpty());
  EXPECT_FALSE(onDisk(session.id));
}

TEST_F(LinkTest, ConversationDeletedDuringTheCopyLeavesNoOrphanedRecording) {
  const VoiceSession session = tenOClock();
  fs::create_directories(recordings());
  const fs::path pipe = recordings() / "20250102 100000.m4a";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  QCoro::Task<> linking = model().linkAudio(session.id, false, false);
  // A pipe has no size: twenty pauses, then the copy waits for the writer.
  for (int pause = 0; pause < 20; ++pause) {
    settle(linking);
    clock_->advance(0.7);
  }
  bool delivered = false;
  QMetaObject::invokeMethod(
      QCoreApplication::instance(), [&] { delivered = true; }, Qt::QueuedConnection);
  runUntil([&] { return delivered; });
  EXPECT_FALSE(linking.isReady()) << "the event loop runs while the copy waits";

  model().deleteSession(session.id);
  releasePipe(pipe, "recorded bytes");
  finish(linking);
  EXPECT_THAT(audioEntries(), IsEmpty());
  EXPECT_FALSE(onDisk(session.id));
  EXPECT_EQ(model().notice(), std::nullopt);
}

TEST_F(LinkTest, EventLoopKeepsRunningWhileALinkCopies) {
  const VoiceSession session = tenOClock();
  fs::create_directories(recordings());
  const fs::path pipe = recordings() / "20250102 100000.m4a";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  QCoro::Task<> linking = model().linkAudio(session.id, false, false);
  for (int pause = 0; pause < 20; ++pause) {
    settle(linking);
    clock_->advance(0.7);
  }
  bool delivered = false;
  QMetaObject::invokeMethod(
      QCoreApplication::instance(), [&] { delivered = true; }, Qt::QueuedConnection);
  runUntil([&] { return delivered; });
  EXPECT_FALSE(linking.isReady());
  const fs::path tone = sources_ / "tone.m4a";
  writeTone(tone, 0.5);
  releasePipe(pipe, bytesOf(tone));
  finish(linking);
  EXPECT_EQ(bytesOf(audioFolder() / copyName(session.id, ".m4a")), bytesOf(tone));
  ASSERT_TRUE(linked(session.id).duration);
  EXPECT_NEAR(*linked(session.id).duration, 0.5, 0.01);
}

TEST_F(LinkTest, UnknownConversationDoesNothing) {
  recording("20250102 100000.m4a");
  modelAfterStartupPass();
  EXPECT_EQ(link(QUuid::createUuid()), 0);
  EXPECT_EQ(model().notice(), std::nullopt);
  EXPECT_FALSE(fs::exists(audioFolder()));
}

TEST_F(LinkTest, ModelGoneWhileALinkPausesEndsIt) {
  const VoiceSession session = tenOClock();
  QCoro::Task<> linking = model().linkAudio(session.id, true, false);
  settle(linking);
  model_.reset();
  finish(linking);
  EXPECT_EQ(clock_->pendingSleeps(), 0);
}

}  // namespace
}  // namespace veltovoice::testing
