// Importing audio files as conversations and loading the demo, on the real model, store, FFmpeg
// files and Voice Memos reader.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <thread>

#include <QCoroTask>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QSignalSpy>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/Model/ModelClock.h"
#include "platform/text/DateFormat.h"
#include "tests/app/Model/ImportLinkFixture.h"
#include "tests/support/AtomBuilder.h"

namespace veltovoice::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

const char* const kTwoSegments =
    R"({"attributedString":["  おはよう ",{"timeRange":[0.5,1.75]},"時間のない文",{},)"
    R"("続き。",{"timeRange":[2,3.5]}],"locale":{"identifier":"ja_JP"}})";

// A Voice Memos file without audio whose stored transcript has three segments.
std::string voiceMemosBytes() { return asString(testsupport::voiceMemosFile(kTwoSegments)); }

class ImportTest : public ImportLinkFixture {
 protected:
  // Imports `source` and waits for the import to end.
  void import(const fs::path& source) {
    QCoro::Task<> importing = model().importFile(source);
    finish(importing);
  }

  const VoiceSession& only() {
    EXPECT_EQ(model().sessionCount(), 1);
    return model().sessionAt(0);
  }

  static std::string idText(const QUuid& id) { return LiveModel::idText(id); }
};

struct SentenceCase {
  std::string text;
  std::optional<double> start;
  std::optional<double> end;
};

TEST_F(ImportTest, CopiesUnderTheIdWithTheExtensionAsWrittenAndReadsTranscriptsOnlyOfMovieFiles) {
  struct Case {
    const char* name;
    const char* fileName;
    std::function<std::string(const fs::path&)> make;  // writes the source, returns its bytes
    const char* title;
    const char* copySuffix;
    std::optional<double> duration;  // nothing: unknown
    bool takesTranscript;
  };
  auto voiceMemos = [](const fs::path& path) {
    writeBytes(path, voiceMemosBytes());
    return bytesOf(path);
  };
  auto tone = [](double seconds) {
    return [seconds](const fs::path& path) {
      writeTone(path, seconds);
      return bytesOf(path);
    };
  };
  auto toneWithTranscript = [](const fs::path& path) {
    const fs::path plain = path.parent_path() / "plain.m4a";
    writeTone(plain, 1.5);
    writeBytes(path, asString(testsupport::withTranscript(testsupport::readFile(plain), kTwoSegments)));
    fs::remove(plain);
    return bytesOf(path);
  };
  const Case cases[] = {
      {"capital extension", "Foo.M4A", voiceMemos, "Foo", ".M4A", std::nullopt, true},
      {"quicktime", "録音.qta", voiceMemos, "録音", ".qta", std::nullopt, true},
      {"audio with transcript", "会議.m4a", toneWithTranscript, "会議", ".m4a", 1.5, true},
      {"wav never looked into", "Foo.wav", voiceMemos, "Foo", ".wav", std::nullopt, false},
      {"wav audio", "声.wav", tone(0.5), "声", ".wav", 0.5, false},
      {"no extension", "Recording", voiceMemos, "Recording", ".", std::nullopt, false},
      {"two dots", "a.b.m4a", tone(1.0), "a.b", ".m4a", 1.0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::TemporaryFolder sources;
    const fs::path source = sources / c.fileName;
    const std::string original = c.make(source);
    const int before = model().sessionCount();
    import(source);
    ASSERT_EQ(model().sessionCount(), before + 1);
    const VoiceSession& imported = *model().selected();
    EXPECT_EQ(imported.title, c.title);
    EXPECT_EQ(imported.audioFile, idText(imported.id) + c.copySuffix);
    EXPECT_EQ(bytesOf(audioFolder() / *imported.audioFile), original);
    EXPECT_EQ(bytesOf(source), original) << "the chosen file is only read";
    if (c.duration) {
      ASSERT_TRUE(imported.duration);
      EXPECT_NEAR(*imported.duration, *c.duration, 0.01);
    } else {
      EXPECT_EQ(imported.duration, std::nullopt);
    }
    EXPECT_EQ(imported.segments.size(), c.takesTranscript ? 3u : 0u);
    EXPECT_THAT(imported.speakerNames, IsEmpty());
    EXPECT_EQ(imported.tasks, std::nullopt);
    EXPECT_EQ(imported.topics, std::nullopt);
    EXPECT_EQ(imported.memo, std::nullopt);
    EXPECT_EQ(imported.segmentsBackup, std::nullopt);
    EXPECT_EQ(model().notice(), std::nullopt);
  }
}

TEST_F(ImportTest, StoredTranscriptGivesOneUntrimmedSentencePerSegmentWithItsTimes) {
  const fs::path source = sources_ / "20250102 093000.qta";
  writeBytes(source, voiceMemosBytes());
  import(source);
  const std::vector<SentenceCase> expected = {
      {"  おはよう ", 0.5, 1.75}, {"時間のない文", std::nullopt, std::nullopt}, {"続き。", 2.0, 3.5}};
  const VoiceSession& imported = only();
  ASSERT_EQ(imported.segments.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(i);
    const LiveSegment& sentence = imported.segments[i];
    EXPECT_EQ(sentence.text, expected[i].text);
    EXPECT_EQ(sentence.start, expected[i].start);
    EXPECT_EQ(sentence.end, expected[i].end);
    EXPECT_EQ(sentence.speaker, std::nullopt);
    EXPECT_FALSE(sentence.speakerLocked);
    EXPECT_FALSE(sentence.edited);
  }
  EXPECT_NE(imported.segments[0].id, imported.segments[1].id);
}

TEST_F(ImportTest, TranscriptThatDoesNotDecodeGivesAConversationWithoutSentencesAndNoNotice) {
  for (const char* document : {R"({"attributedString":)", R"({"locale":"ja_JP"})", "\xff\xfe"}) {
    SCOPED_TRACE(document);
    testsupport::TemporaryFolder sources;
    const fs::path source = sources / "壊れた.m4a";
    writeBytes(source, asString(testsupport::voiceMemosFile(document)));
    const int before = model().sessionCount();
    import(source);
    ASSERT_EQ(model().sessionCount(), before + 1);
    EXPECT_THAT(model().selected()->segments, IsEmpty());
    EXPECT_EQ(model().notice(), std::nullopt);
  }
}

// The model's clock stands a year after the real time, so a file made now was made "a year ago".
class ImportDateTest : public ImportTest {
 protected:
  ImportDateTest() {
    clock_ = std::make_shared<testsupport::ManualClock>(std::chrono::system_clock::now() +
                                                        std::chrono::days(365));
  }
};

TEST_F(ImportDateTest, OldFileLandsAmongItsDateBeforeEqualTimesIsSelectedAndSavedAtOnce) {
  const fs::path source = sources_ / "去年の会議.wav";
  writeTone(source, 0.25);
  const QDateTime born = QFileInfo(QFile::decodeName(source.c_str())).birthTime();
  if (!born.isValid()) GTEST_SKIP() << "this file system keeps no birth times";
  const double bornAt = recordTimeFromUnixSeconds(static_cast<double>(born.toMSecsSinceEpoch()) / 1000.0);

  const VoiceSession latest = stored(conversation("最新", bornAt + 200 * 86400.0));
  const VoiceSession newer = stored(conversation("翌日", bornAt + 86400));
  const VoiceSession same = stored(conversation("同時刻", bornAt));
  const VoiceSession older = stored(conversation("前日", bornAt - 86400));
  LiveModel& live = modelAfterStartupPass();
  const double elapsedBefore = clock_->elapsed();
  import(source);

  ASSERT_EQ(live.sessionCount(), 5);
  std::vector<std::string> titles;
  for (const VoiceSession& s : live.sessions()) titles.push_back(s.title);
  EXPECT_THAT(titles, ElementsAre("最新", "翌日", "去年の会議", "同時刻", "前日"));
  const VoiceSession& imported = live.sessionAt(2);
  EXPECT_EQ(imported.startedAt, bornAt);
  EXPECT_EQ(live.selectedID(), imported.id);
  EXPECT_EQ(clock_->elapsed(), elapsedBefore);
  const std::optional<VoiceSession> saved = onDisk(imported.id);
  ASSERT_TRUE(saved);
  EXPECT_EQ(*saved, imported);
  ASSERT_TRUE(imported.markdownFile);
  EXPECT_TRUE(fs::exists(root() / "Sessions" / *imported.markdownFile));
}

TEST_F(ImportTest, TitleKeepsColonsWhileTheMarkdownNameUsesFullWidthOnes) {
  // A Linux file name cannot hold "/", so a title from a file name never has one; ":" it can.
  const fs::path source = sources_ / "10:30 定例: 第2回.wav";
  writeTone(source, 0.25);
  import(source);
  const VoiceSession& imported = only();
  EXPECT_EQ(imported.title, "10:30 定例: 第2回");
  const std::string stamp = platform::text::formatDate(
      unixSecondsFromRecordTime(imported.startedAt), "yyyy-MM-dd HHmm", userLocaleName());
  EXPECT_EQ(imported.markdownFile, stamp + " 10：30 定例： 第2回.md");
  EXPECT_TRUE(fs::exists(root() / "Sessions" / *imported.markdownFile));
}

TEST_F(ImportTest, SameNameTwiceInOneMinuteGetsTwoMarkdownFiles) {
  const fs::path source = sources_ / "同じ名前.wav";
  writeTone(source, 0.25);
  import(source);
  import(source);
  ASSERT_EQ(model().sessionCount(), 2);
  EXPECT_NE(model().sessionAt(0).markdownFile, model().sessionAt(1).markdownFile);
  EXPECT_NE(model().sessionAt(0).audioFile, model().sessionAt(1).audioFile);
}

TEST_F(ImportTest, ChooserIsAskedForAudioFilesAndItsAnswerIsImported) {
  LiveModel& live = modelAfterStartupPass();
  live.importAudio();
  ASSERT_EQ(askedMessages_.size(), 1u);
  EXPECT_EQ(askedMessages_[0], "音声ファイルを選んでください。原本は変更しません。");
  ASSERT_EQ(askedFilters_.size(), 1u);
  for (const char* pattern : {"*.m4a", "*.mp3", "*.wav", "*.aac", "*.flac", "*.ogg", "*.opus",
                              "*.caf", "*.aif", "*.aiff", "*.qta"}) {
    EXPECT_THAT(askedFilters_[0], HasSubstr(pattern));
  }
  EXPECT_EQ(live.sessionCount(), 0) << "a cancelled chooser changes nothing";
  EXPECT_EQ(live.notice(), std::nullopt);
  EXPECT_FALSE(fs::exists(audioFolder()));

  chosen_ = sources_ / "選んだ.wav";
  writeTone(*chosen_, 0.25);
  live.importAudio();
  runUntil([&] { return live.sessionCount() == 1; });
  EXPECT_EQ(live.sessionAt(0).title, "選んだ");
  EXPECT_EQ(live.selectedID(), live.sessionAt(0).id);
}

TEST_F(ImportTest, FailedCopyShowsItsErrorAndAddsNothing) {
  struct Case {
    const char* name;
    std::function<fs::path()> prepare;  // returns the file to import
  };
  const Case cases[] = {
      {"source gone", [&] { return sources_ / "消えた.m4a"; }},
      {"source is a folder", [&] {
         fs::create_directories(sources_ / "フォルダ.m4a");
         return sources_ / "フォルダ.m4a";
       }},
      {"audio path is a file", [&] {
         writeBytes(audioFolder(), "not a folder");
         const fs::path source = sources_ / "ok.wav";
         writeTone(source, 0.25);
         return source;
       }},
  };
  fs::create_directories(root());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(audioFolder());
    LiveModel& live = modelAfterStartupPass();
    live.setNotice(std::nullopt);
    const fs::path source = c.prepare();
    import(source);
    EXPECT_EQ(live.sessionCount(), 0);
    EXPECT_EQ(live.selectedID(), std::nullopt);
    ASSERT_TRUE(live.notice());
    EXPECT_THAT(live.notice()->text, HasSubstr(fs::is_regular_file(audioFolder())
                                                   ? audioFolder().string()
                                                   : source.string()));
    EXPECT_EQ(live.notice()->action, std::nullopt);
    if (fs::is_regular_file(audioFolder())) {
      EXPECT_EQ(bytesOf(audioFolder()), "not a folder");
    } else {
      EXPECT_THAT(audioEntries(), IsEmpty());
    }
  }
}

TEST_F(ImportTest, FullDiskLeavesNoPartialCopyBehind) {
  const fs::path source = sources_ / "大きい.wav";
  writeTone(source, 4.0);  // about 128 kB
  LiveModel& live = modelAfterStartupPass();
  // Writes beyond 64 kB fail as on a full disk; the signal would end the process instead.
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &limit), 0);
  const rlimit full{64 * 1024, limit.rlim_max};
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &full), 0);
  import(source);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
  EXPECT_EQ(live.sessionCount(), 0);
  ASSERT_TRUE(live.notice());
  EXPECT_THAT(live.notice()->text, HasSubstr(strerror(EFBIG)));
  EXPECT_THAT(audioEntries(), IsEmpty());
}

TEST_F(ImportTest, EventLoopKeepsRunningWhileACopyWaits) {
  // A pipe delivers nothing until the test writes: the copy waits on its worker meanwhile.
  const fs::path pipe = sources_ / "パイプ.wav";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  const fs::path tone = sources_ / "tone.wav";
  writeTone(tone, 0.5);
  LiveModel& live = modelAfterStartupPass();
  QCoro::Task<> importing = live.importFile(pipe);

  bool delivered = false;
  QMetaObject::invokeMethod(
      QCoreApplication::instance(), [&] { delivered = true; }, Qt::QueuedConnection);
  runUntil([&] { return delivered; });
  EXPECT_FALSE(importing.isReady());
  EXPECT_EQ(live.sessionCount(), 0);

  releasePipe(pipe, bytesOf(tone));
  finish(importing);
  ASSERT_EQ(live.sessionCount(), 1);
  EXPECT_EQ(bytesOf(audioFolder() / *live.sessionAt(0).audioFile), bytesOf(tone));
  ASSERT_TRUE(live.sessionAt(0).duration);
  EXPECT_NEAR(*live.sessionAt(0).duration, 0.5, 0.01);
}

TEST_F(ImportTest, ModelGoneDuringTheCopyLeavesNoCopy) {
  const fs::path pipe = sources_ / "パイプ.wav";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  QCoro::Task<> importing = modelAfterStartupPass().importFile(pipe);
  model_.reset();
  releasePipe(pipe, "some bytes");
  finish(importing);
  EXPECT_THAT(audioEntries(), IsEmpty());
}

TEST_F(ImportTest, DemoIsFirstSelectedAndWritesNothing) {
  const VoiceSession later = stored(conversation("未来", recordTimeFromUnixSeconds(4.0e9)));
  LiveModel& live = modelAfterStartupPass();
  std::vector<fs::path> filesBefore;
  for (const auto& entry : fs::directory_iterator(root() / "Sessions")) filesBefore.push_back(entry.path());
  QSignalSpy levelsChanged(&live, &LiveModel::levelsChanged);

  live.loadDemo();

  ASSERT_EQ(live.sessionCount(), 2);
  const VoiceSession& demo = live.sessionAt(0);
  EXPECT_EQ(demo.title, "サンプル");
  EXPECT_EQ(live.selectedID(), demo.id);
  EXPECT_EQ(demo.duration, 25.0);
  const auto now = std::chrono::duration<double>(clock_->now().time_since_epoch()).count();
  EXPECT_EQ(demo.startedAt, recordTimeFromUnixSeconds(now));
  EXPECT_EQ(demo.audioFile, std::nullopt);
  EXPECT_EQ(demo.markdownFile, std::nullopt);
  EXPECT_THAT(demo.speakerNames, IsEmpty());
  const SentenceCase expected[] = {
      {"おはようございます。", 0.0, 2.0},
      {"今日は新しいホームページの打ち合わせをお願いします。", 1.3, 3.3},
      {"はい、よろしくお願いします。", 5.6, 7.6},
      {"まず予算の話からしましょうか。", 8.6, 10.6},
      {"予算は50万円くらいを考えています。", 13.2, 15.2},
      {"公開は来年の3月です。", 16.5, 18.5},
      {"わかりました。", 19.3, 21.3},
      {"それなら3月公開で十分間に合いますね。", 21.2, 23.2},
  };
  const int speakers[] = {0, 0, 1, 1, 0, 0, 1, 1};
  ASSERT_EQ(demo.segments.size(), std::size(expected));
  for (std::size_t i = 0; i < std::size(expected); ++i) {
    SCOPED_TRACE(i);
    const LiveSegment& sentence = demo.segments[i];
    EXPECT_EQ(sentence.text, expected[i].text);
    EXPECT_EQ(sentence.start, expected[i].start);
    ASSERT_TRUE(sentence.end);
    EXPECT_DOUBLE_EQ(*sentence.end, *expected[i].end);
    EXPECT_EQ(sentence.speaker, speakers[i]);
    EXPECT_FALSE(sentence.speakerLocked);
    EXPECT_FALSE(sentence.edited);
  }
  ASSERT_EQ(live.levels().size(), LiveModel::kMaxLevels);
  for (float level : live.levels()) {
    EXPECT_GE(level, 0.0f);
    EXPECT_LE(level, 0.16f);
  }
  // The wave shows through the noise: the sine's zero at i = 0 and its peak near i = 11.
  EXPECT_LE(live.levels()[0], 0.04f);
  EXPECT_GE(live.levels()[11], 0.11f);
  EXPECT_EQ(levelsChanged.count(), 1);
  EXPECT_EQ(live.phase(), LiveModel::Phase::idle);
  EXPECT_EQ(live.sessionAt(1).id, later.id);

  std::vector<fs::path> filesAfter;
  for (const auto& entry : fs::directory_iterator(root() / "Sessions")) filesAfter.push_back(entry.path());
  EXPECT_EQ(filesAfter.size(), filesBefore.size());
  EXPECT_FALSE(fs::exists(audioFolder()));
  clock_->advance(10);
  EXPECT_FALSE(onDisk(demo.id));
}

}  // namespace
}  // namespace veltovoice::testing
