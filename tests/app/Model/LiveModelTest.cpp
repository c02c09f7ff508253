#include "app/Model/LiveModel.h"

#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <sstream>

#include <QCoreApplication>
#include <QSignalSpy>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/Model/AppLog.h"
#include "app/Model/Clipboard.h"
#include "app/Model/DesktopServices.h"
#include "app/Model/ModelClock.h"
#include "platform/lm/SystemLanguageModel.h"
#include "tests/support/ManualClock.h"
#include "tests/support/TemporaryFolder.h"

namespace veltovoice {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

// 2025-03-05 14:07:09 in Tokyo, as seconds since 2001.
constexpr double kMarch5 = 762844029.0;

std::string bytesOf(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Gives the test access to the fields that only the model's own operations write.
class TestModel : public LiveModel {
 public:
  using LiveModel::LiveModel;
  using LiveModel::setElapsed;
  using LiveModel::setLevels;
  using LiveModel::setLiveID;
  using LiveModel::setPhase;
  using LiveModel::setSpeakersAvailable;
  using LiveModel::setStatus;
  using LiveModel::setVolatileText;
};

VoiceSession conversation(const std::string& title, double startedAt,
                          std::vector<std::string> texts = {}) {
  VoiceSession session;
  session.title = title;
  session.startedAt = startedAt;
  session.markdownFile = title + ".md";
  for (const std::string& text : texts) {
    LiveSegment segment;
    segment.text = text;
    session.segments.push_back(segment);
  }
  return session;
}

// A root folder with the real store and log, a hand-driven clock and a model made on demand.
class LiveModelTest : public ::testing::Test {
 protected:
  LiveModelTest() { setenv("XDG_DATA_HOME", data_.path().c_str(), 1); }

  ~LiveModelTest() override {
    model_.reset();
    QCoreApplication::processEvents();
  }

  fs::path root() const { return root_.path(); }
  fs::path sessionsFolder() const { return root() / "Sessions"; }
  fs::path fileOf(const VoiceSession& session) const {
    return store().conversationFile(session.id);
  }
  SessionStore store() const { return SessionStore::inFolder(root()); }

  // Writes `session` as a stored conversation.
  VoiceSession stored(VoiceSession session) {
    store().save(session);
    return session;
  }

  TestModel& model() {
    if (!model_) {
      LiveModelServices services;
      services.clock = clock_;
      model_ = std::make_unique<TestModel>(root(), services);
    }
    return *model_;
  }

  // The conversation on disk, or nothing when its file is missing.
  std::optional<VoiceSession> onDisk(const QUuid& id) const {
    const fs::path file = store().conversationFile(id);
    if (!fs::exists(file)) return std::nullopt;
    return VoiceSession::fromJsonText(bytesOf(file));
  }

  std::vector<std::string> logLines() const {
    AppLog::flush();
    return linesOf(bytesOf(AppLog::directory() / "veltovoice.log"));
  }

  // Log lines written after the first `before` ones, without time, level and version.
  std::vector<std::string> logMessagesSince(std::size_t before) const {
    std::vector<std::string> messages;
    const std::vector<std::string> lines = logLines();
    for (std::size_t i = before; i < lines.size(); ++i) {
      const std::size_t version = lines[i].find("] v");
      messages.push_back(lines[i].substr(lines[i].find(' ', version + 3) + 1));
    }
    return messages;
  }

  int argc_ = 0;
  QCoreApplication app_{argc_, nullptr};
  testsupport::TemporaryFolder data_;
  testsupport::TemporaryFolder root_;
  std::shared_ptr<testsupport::ManualClock> clock_ = std::make_shared<testsupport::ManualClock>();
  std::unique_ptr<TestModel> model_;
};

TEST_F(LiveModelTest, EmptyRootGivesNothingAndCreatesOnlyTheSessionsFolder) {
  TestModel& live = model();
  EXPECT_EQ(live.sessionCount(), 0);
  EXPECT_EQ(live.selectedID(), std::nullopt);
  EXPECT_EQ(live.selected(), nullptr);
  EXPECT_EQ(live.notice(), std::nullopt);
  EXPECT_EQ(live.phase(), LiveModel::Phase::idle);
  EXPECT_EQ(live.liveID(), std::nullopt);
  EXPECT_EQ(live.volatileText(), "");
  EXPECT_EQ(live.elapsed(), 0);
  EXPECT_THAT(live.levels(), IsEmpty());
  EXPECT_FALSE(live.speakersAvailable());
  EXPECT_EQ(live.status(), "");
  EXPECT_THAT(live.jobs(), IsEmpty());
  EXPECT_EQ(live.lastSegmentDeletion(), std::nullopt);
  EXPECT_EQ(live.scrollRequest(), std::nullopt);
  EXPECT_EQ(live.store().sessionsDirectory, sessionsFolder());
  EXPECT_EQ(live.store().audioDirectory, root() / "Audio");
  EXPECT_EQ(live.modelsDirectory(), root() / "Models");
  EXPECT_FALSE(fs::exists(root() / "Audio"));
  EXPECT_FALSE(fs::exists(root() / "Models"));
}

TEST_F(LiveModelTest, LoadsStoredConversationsNewestFirstAndSelectsTheNewest) {
  const VoiceSession older = stored(conversation("古い", kMarch5 - 7200));
  const VoiceSession newest = stored(conversation("新しい", kMarch5));
  const VoiceSession middle = stored(conversation("中間", kMarch5 - 3600));
  TestModel& live = model();
  ASSERT_EQ(live.sessionCount(), 3);
  EXPECT_EQ(live.sessionAt(0), newest);
  EXPECT_EQ(live.sessionAt(1), middle);
  EXPECT_EQ(live.sessionAt(2), older);
  EXPECT_EQ(live.selectedID(), newest.id);
  ASSERT_NE(live.selected(), nullptr);
  EXPECT_EQ(live.selected()->title, "新しい");
  EXPECT_EQ(live.rowOf(older.id), 2);
  EXPECT_EQ(live.rowOf(QUuid::createUuid()), std::nullopt);
  EXPECT_EQ(live.session(QUuid::createUuid()), nullptr);
  EXPECT_EQ(live.notice(), std::nullopt);
}

TEST_F(LiveModelTest, SelectionNamingNoConversationSelectsNothing) {
  stored(conversation("一つ", kMarch5));
  TestModel& live = model();
  live.setSelectedID(QUuid::createUuid());
  EXPECT_EQ(live.selected(), nullptr);
}

TEST_F(LiveModelTest, EveryPublishedFieldSignalsRealChangesOnly) {
  TestModel& live = model();
  struct Case {
    const char* name;
    void (LiveModel::*signal)();
    std::function<void()> change;
  };
  const QUuid id = QUuid::createUuid();
  SegmentDeletion deletion{id, {{1, LiveSegment{}}}};
  const Case cases[] = {
      {"phase", &LiveModel::phaseChanged, [&] { live.setPhase(LiveModel::Phase::recording); }},
      {"selectedID", &LiveModel::selectedIDChanged, [&] { live.setSelectedID(id); }},
      {"liveID", &LiveModel::liveIDChanged, [&] { live.setLiveID(id); }},
      {"volatileText", &LiveModel::volatileTextChanged, [&] { live.setVolatileText("あ"); }},
      {"elapsed", &LiveModel::elapsedChanged, [&] { live.setElapsed(0.5); }},
      {"levels", &LiveModel::levelsChanged, [&] { live.setLevels({0.1f, 0.2f}); }},
      {"speakersAvailable", &LiveModel::speakersAvailableChanged,
       [&] { live.setSpeakersAvailable(true); }},
      {"status", &LiveModel::statusChanged, [&] { live.setStatus("準備中"); }},
      {"notice", &LiveModel::noticeChanged,
       [&] { live.setNotice(LiveModel::Notice{"お知らせ", std::nullopt}); }},
      {"jobs", &LiveModel::jobsChanged, [&] { live.setJob(id, "作業中"); }},
      {"lastSegmentDeletion", &LiveModel::lastSegmentDeletionChanged,
       [&] { live.setLastSegmentDeletion(deletion); }},
      {"scrollRequest", &LiveModel::scrollRequestChanged, [&] { live.setScrollRequest(id); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QSignalSpy spy(&live, c.signal);
    c.change();
    EXPECT_EQ(spy.count(), 1);
    c.change();
    EXPECT_EQ(spy.count(), 1);
  }
  QSignalSpy jobs(&live, &LiveModel::jobsChanged);
  live.setJob(id, std::nullopt);
  live.setJob(id, std::nullopt);
  EXPECT_EQ(jobs.count(), 1);
  EXPECT_THAT(live.jobs(), IsEmpty());
}

TEST_F(LiveModelTest, NoticeIsLoggedOnlyWhenANewOneAppears) {
  TestModel& live = model();
  using Notice = LiveModel::Notice;
  const std::size_t before = logLines().size();
  live.setNotice(Notice{"一つ目", std::nullopt});
  live.setNotice(Notice{"一つ目", std::nullopt});
  live.setNotice(std::nullopt);
  live.setNotice(std::nullopt);
  live.setNotice(Notice{"一つ目", std::nullopt});
  live.setNotice(Notice{"一つ目", Notice::Action::microphone});
  EXPECT_THAT(logMessagesSince(before),
              ElementsAre("知らせ: 一つ目", "知らせ: 一つ目", "知らせ: 一つ目"));
}

class LatestLinesTest : public LiveModelTest {
 protected:
  // Stores an older conversation with five sentences (the last by speaker 1) and a newer one
  // with the given texts, then makes the model.
  void SetUp() override {
    VoiceSession five = conversation("五文", kMarch5 - 60, {"一", "二", "三", "四", "五"});
    five.segments[4].speaker = 1;
    five_ = stored(five);
  }
  VoiceSession five_;
};

TEST_F(LatestLinesTest, ShowsTheNewestWhileIdleAndTheLiveConversationWhileRecording) {
  VoiceSession two = conversation("二文", kMarch5, {"いち", "に"});
  two.segments[0].speaker = 0;
  two.speakerNames[0] = "佐藤";
  stored(two);
  struct Case {
    const char* name;
    std::optional<QUuid> liveID;
    std::string volatileText;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"idle shows the newest, without live text", std::nullopt, "途中", {"佐藤：いち", "に"}},
      {"recording two sentences with live text", two.id, "途中", {"佐藤：いち", "に", "途中"}},
      {"recording five sentences with live text", five_.id, "途中", {"四", "話者B：五", "途中"}},
      {"recording five sentences without live text", five_.id, "", {"三", "四", "話者B：五"}},
      {"live id naming nothing counts as idle", QUuid::createUuid(), "途中", {"佐藤：いち", "に"}},
  };
  TestModel& live = model();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    live.setLiveID(c.liveID);
    live.setVolatileText(c.volatileText);
    EXPECT_EQ(live.latestLines(), c.expected);
  }
}

TEST_F(LatestLinesTest, IdleShowsTheLastThreeSentencesOfTheNewest) {
  TestModel& live = model();
  live.setVolatileText("途中");
  EXPECT_THAT(live.latestLines(), ElementsAre("三", "四", "話者B：五"));
}

TEST_F(LiveModelTest, LatestLinesAreEmptyWithoutConversations) {
  TestModel& live = model();
  live.setVolatileText("途中");
  EXPECT_THAT(live.latestLines(), IsEmpty());
}

// The tests below observe writes by removing the conversation file and watching it come back.
class SavingTest : public LiveModelTest {
 protected:
  void SetUp() override {
    first_ = stored(conversation("一", kMarch5 - 60, {"はい"}));
    second_ = stored(conversation("二", kMarch5, {"いいえ"}));
    model();
    fs::remove(fileOf(first_));
    fs::remove(fileOf(second_));
  }

  bool written(const VoiceSession& session) const { return fs::exists(fileOf(session)); }
  std::string titleOnDisk(const VoiceSession& session) const { return onDisk(session.id)->title; }

  VoiceSession first_;
  VoiceSession second_;
};

TEST_F(SavingTest, ABurstOfEditsWritesOnceOneSecondAfterTheLast) {
  TestModel& live = model();
  live.renameSession(first_.id, "A");
  clock_->advance(0.25);
  live.renameSession(first_.id, "B");
  clock_->advance(0.25);
  live.renameSession(first_.id, "C");
  clock_->advance(0.999);
  EXPECT_FALSE(written(first_));
  clock_->advance(0.001);
  ASSERT_TRUE(written(first_));
  EXPECT_EQ(titleOnDisk(first_), "C");
  EXPECT_TRUE(fs::exists(sessionsFolder() / "一.md"));
  fs::remove(fileOf(first_));
  clock_->advance(10);
  EXPECT_FALSE(written(first_));
  EXPECT_EQ(clock_->pendingSleeps(), 0);
}

TEST_F(SavingTest, SaveNowWritesAtOnceAndVoidsThePendingSave) {
  TestModel& live = model();
  live.renameSession(first_.id, "今すぐ");
  live.saveNow(first_.id);
  ASSERT_TRUE(written(first_));
  EXPECT_EQ(titleOnDisk(first_), "今すぐ");
  fs::remove(fileOf(first_));
  QCoreApplication::processEvents();
  clock_->advance(5);
  EXPECT_FALSE(written(first_));
}

TEST_F(SavingTest, ConversationsAreDebouncedIndependently) {
  TestModel& live = model();
  live.renameSession(first_.id, "A");
  clock_->advance(0.6);
  live.renameSession(second_.id, "B");
  clock_->advance(0.4);
  EXPECT_TRUE(written(first_));
  EXPECT_FALSE(written(second_));
  clock_->advance(0.6);
  EXPECT_TRUE(written(second_));
  EXPECT_EQ(titleOnDisk(first_), "A");
  EXPECT_EQ(titleOnDisk(second_), "B");
}

TEST_F(SavingTest, FiftyEditsWithinOneSecondWriteOncePerConversation) {
  TestModel& live = model();
  for (int i = 0; i < 50; ++i) {
    live.renameSession(first_.id, "一の" + std::to_string(i));
    live.renameSession(second_.id, "二の" + std::to_string(i));
    clock_->advance(0.019);
    ASSERT_FALSE(written(first_) || written(second_)) << "edit " << i;
  }
  clock_->advance(1.0);
  EXPECT_EQ(titleOnDisk(first_), "一の49");
  EXPECT_EQ(titleOnDisk(second_), "二の49");
  fs::remove(fileOf(first_));
  fs::remove(fileOf(second_));
  QCoreApplication::processEvents();
  clock_->advance(10);
  EXPECT_FALSE(written(first_) || written(second_));
}

TEST_F(SavingTest, FailedSaveIsLoggedAndShownAndKeepsTheConversation) {
  TestModel& live = model();
  live.renameSession(first_.id, "新しい題");
  const VoiceSession inMemory = *live.session(first_.id);
  fs::create_directory(fileOf(first_));
  const std::size_t before = logLines().size();
  live.saveNow(first_.id);
  ASSERT_TRUE(live.notice());
  EXPECT_THAT(live.notice()->text, StartsWith("保存できませんでした: "));
  EXPECT_GT(live.notice()->text.size(), std::string("保存できませんでした: ").size());
  EXPECT_EQ(live.notice()->action, std::nullopt);
  const std::string id = first_.id.toString(QUuid::WithoutBraces).toUpper().toStdString();
  const std::vector<std::string> messages = logMessagesSince(before);
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_THAT(messages[0], StartsWith("保存の失敗: 会話 " + id + " FileError "));
  EXPECT_EQ(messages[1], "知らせ: " + live.notice()->text);
  EXPECT_EQ(*live.session(first_.id), inMemory);
  EXPECT_TRUE(fs::is_directory(fileOf(first_)));
}

TEST_F(SavingTest, SessionsPathThatIsAFileGivesNoticesNotACrash) {
  TestModel& live = model();
  fs::remove_all(sessionsFolder());
  std::ofstream(sessionsFolder()) << "kein Ordner";
  live.renameSession(second_.id, "x");
  clock_->advance(1);
  ASSERT_TRUE(live.notice());
  EXPECT_THAT(live.notice()->text, StartsWith("保存できませんでした: "));
  EXPECT_EQ(bytesOf(sessionsFolder()), "kein Ordner");

  TestModel again(root(), [&] {
    LiveModelServices services;
    services.clock = clock_;
    return services;
  }());
  EXPECT_EQ(again.sessionCount(), 0);
  EXPECT_EQ(again.notice(), std::nullopt);
}

TEST_F(SavingTest, ModelDestroyedWithASavePendingWritesNothing) {
  model().renameSession(first_.id, "未保存");
  model_.reset();
  clock_->advance(5);
  EXPECT_FALSE(written(first_));
}

TEST_F(LiveModelTest, RenameKeepsTheTitleAsGivenAndChangesOnce) {
  const VoiceSession session = stored(conversation("元", kMarch5));
  TestModel& live = model();
  QSignalSpy changed(&live, &LiveModel::sessionChanged);
  for (const std::string title : {"  空白つき \n", "", ""}) {
    SCOPED_TRACE(title);
    live.renameSession(session.id, title);
    EXPECT_EQ(live.session(session.id)->title, title);
  }
  EXPECT_EQ(changed.count(), 2);
  EXPECT_EQ(changed.at(0).at(0).value<QUuid>(), session.id);
  clock_->advance(1);
  EXPECT_EQ(onDisk(session.id)->title, "");
  EXPECT_EQ(onDisk(session.id)->markdownFile, "元.md");
}

TEST_F(LiveModelTest, DeleteRemovesFilesAndRepairsTheSelection) {
  const VoiceSession older = stored(conversation("古い", kMarch5 - 60));
  VoiceSession newest = conversation("新しい", kMarch5);
  newest.audioFile = newest.id.toString(QUuid::WithoutBraces).toUpper().toStdString() + ".m4a";
  stored(newest);
  fs::create_directories(root() / "Audio");
  std::ofstream(root() / "Audio" / *newest.audioFile) << "audio";
  std::ofstream(root() / "Audio" / "他の録音.m4a") << "audio";
  TestModel& live = model();
  ASSERT_EQ(live.selectedID(), newest.id);

  QSignalSpy removed(&live, &LiveModel::sessionRemoved);
  QSignalSpy selection(&live, &LiveModel::selectedIDChanged);
  live.deleteSession(newest.id);
  EXPECT_FALSE(fs::exists(fileOf(newest)));
  EXPECT_FALSE(fs::exists(sessionsFolder() / "新しい.md"));
  EXPECT_FALSE(fs::exists(root() / "Audio" / *newest.audioFile));
  EXPECT_TRUE(fs::exists(root() / "Audio" / "他の録音.m4a"));
  EXPECT_TRUE(fs::exists(fileOf(older)));
  ASSERT_EQ(removed.count(), 1);
  EXPECT_EQ(removed.at(0).at(0).value<QUuid>(), newest.id);
  EXPECT_EQ(removed.at(0).at(1).toInt(), 0);
  EXPECT_EQ(live.sessionCount(), 1);
  EXPECT_EQ(live.selectedID(), older.id);
  EXPECT_EQ(selection.count(), 1);

  live.deleteSession(older.id);
  EXPECT_EQ(live.sessionCount(), 0);
  EXPECT_EQ(live.selectedID(), std::nullopt);
}

TEST_F(LiveModelTest, DeletingAnotherConversationKeepsTheSelection) {
  const VoiceSession older = stored(conversation("古い", kMarch5 - 60));
  const VoiceSession newest = stored(conversation("新しい", kMarch5));
  TestModel& live = model();
  QSignalSpy selection(&live, &LiveModel::selectedIDChanged);
  live.deleteSession(older.id);
  EXPECT_EQ(live.selectedID(), newest.id);
  EXPECT_EQ(selection.count(), 0);
  EXPECT_EQ(live.sessionCount(), 1);
}

TEST_F(LiveModelTest, DeleteRefusesTheConversationBeingRecorded) {
  const VoiceSession session = stored(conversation("録音中", kMarch5));
  TestModel& live = model();
  live.setLiveID(session.id);
  live.deleteSession(session.id);
  EXPECT_EQ(live.sessionCount(), 1);
  EXPECT_EQ(live.selectedID(), session.id);
  EXPECT_TRUE(fs::exists(fileOf(session)));
  EXPECT_TRUE(fs::exists(sessionsFolder() / "録音中.md"));
}

TEST_F(LiveModelTest, FilesThatCannotBeRemovedStayWhileTheConversationLeaves) {
  VoiceSession session = conversation("消せない", kMarch5);
  session.audioFile = "録音.m4a";
  stored(session);
  // A non-empty folder where the recording should be cannot be removed as a file.
  fs::create_directories(root() / "Audio" / "録音.m4a");
  std::ofstream(root() / "Audio" / "録音.m4a" / "中身") << "x";
  TestModel& live = model();
  live.deleteSession(session.id);
  EXPECT_EQ(live.sessionCount(), 0);
  EXPECT_TRUE(fs::exists(root() / "Audio" / "録音.m4a" / "中身"));
  EXPECT_FALSE(fs::exists(fileOf(session)));
  EXPECT_EQ(live.notice(), std::nullopt);
}

TEST_F(LiveModelTest, DeleteLeavesFilesOutsideItsFoldersAlone) {
  // Names read from a conversation file that point out of the Sessions or Audio folder.
  struct Case {
    const char* name;
    std::optional<std::string> markdownFile;
    std::optional<std::string> audioFile;
  };
  const Case cases[] = {
      {"markdown above the sessions folder", "../outside.md", std::nullopt},
      {"recording above the audio folder", std::nullopt, "../Sessions/kept.txt"},
      {"recording as the parent folder", std::nullopt, ".."},
  };
  fs::create_directories(sessionsFolder());
  fs::create_directories(root() / "Audio");
  std::ofstream(root() / "outside.md") << "x";
  std::ofstream(sessionsFolder() / "kept.txt") << "x";
  std::vector<QUuid> ids;
  for (const Case& c : cases) {
    VoiceSession session = conversation(c.name, kMarch5);
    session.markdownFile = c.markdownFile;
    session.audioFile = c.audioFile;
    std::ofstream(fileOf(session), std::ios::binary) << session.toJsonText();
    ids.push_back(session.id);
  }
  TestModel& live = model();
  ASSERT_EQ(live.sessionCount(), 3);
  for (const QUuid& id : ids) live.deleteSession(id);
  EXPECT_EQ(live.sessionCount(), 0);
  EXPECT_TRUE(fs::exists(root() / "outside.md"));
  EXPECT_TRUE(fs::exists(sessionsFolder() / "kept.txt"));
  EXPECT_TRUE(fs::exists(root() / "Audio"));
  for (const QUuid& id : ids) EXPECT_FALSE(fs::exists(store().conversationFile(id)));
}

TEST_F(LiveModelTest, PendingSaveOfADeletedConversationWritesNothing) {
  const VoiceSession session = stored(conversation("消す", kMarch5));
  TestModel& live = model();
  live.renameSession(session.id, "消す前の編集");
  live.deleteSession(session.id);
  clock_->advance(2);
  EXPECT_FALSE(fs::exists(fileOf(session)));
  EXPECT_FALSE(fs::exists(sessionsFolder() / "消す.md"));
}

TEST_F(LiveModelTest, UnknownIdsChangeAndReportNothing) {
  const VoiceSession session = stored(conversation("既存", kMarch5, {"はい"}));
  const std::string before = bytesOf(fileOf(session));
  TestModel& live = model();
  const std::size_t logBefore = logLines().size();
  QSignalSpy inserted(&live, &LiveModel::sessionInserted);
  QSignalSpy removed(&live, &LiveModel::sessionRemoved);
  QSignalSpy changed(&live, &LiveModel::sessionChanged);
  QSignalSpy selection(&live, &LiveModel::selectedIDChanged);
  QSignalSpy notice(&live, &LiveModel::noticeChanged);
  const QUuid unknown = QUuid::createUuid();
  live.saveNow(unknown);
  live.scheduleSave(unknown);
  live.renameSession(unknown, "題");
  live.deleteSession(unknown);
  clock_->advance(2);
  for (const QSignalSpy* spy : {&inserted, &removed, &changed, &selection, &notice}) {
    EXPECT_EQ(spy->count(), 0);
  }
  EXPECT_EQ(live.sessionCount(), 1);
  EXPECT_EQ(live.sessionAt(0), session);
  EXPECT_EQ(bytesOf(fileOf(session)), before);
  EXPECT_FALSE(fs::exists(store().conversationFile(unknown)));
  EXPECT_THAT(logMessagesSince(logBefore), IsEmpty());
}

TEST(LiveModelServicesTest, DefaultsReadAsNotAvailable) {
  int argc = 0;
  QCoreApplication app(argc, nullptr);
  LiveModelServices services;
  ASSERT_NE(services.clock, nullptr);
  ASSERT_NE(services.desktop, nullptr);
  ASSERT_NE(services.clipboard, nullptr);
  services.clipboard->setText("x");
  services.desktop->openAddress("https://example.invalid/");
  EXPECT_EQ(services.chooseFile("選んでください", {}), std::nullopt);
  EXPECT_FALSE(services.askConsent({"送ります", "よろしいですか", "送る", "キャンセル"}));
  // No speech backend is installed and the file does not exist.
  EXPECT_THROW(services.transcribeFile("a.m4a", {{0, 1}}, [](double) {}, {}), platform::Error);
  // The diarizer's model is not in an empty Models folder and the hub is out of reach.
  const testsupport::TemporaryFolder models;
  EXPECT_THROW(services.diarizeFile("a.m4a", {{0, 1}}, models.path(), [](double) {}, {}),
               platform::Error);
  EXPECT_THAT(services.diarizeFile("a.m4a", {}, models.path(), [](double) {}, {}), IsEmpty());
  ASSERT_NE(services.languageModel, nullptr);
  EXPECT_EQ(services.languageModel->availability().unavailableReason,
            platform::SystemLanguageModel::UnavailableReason::appleIntelligenceNotEnabled);
  auto diarizer = services.makeDiarizer();
  ASSERT_NE(diarizer, nullptr);
  EXPECT_THROW(diarizer->prepare(models.path(), [](const auto&) { FAIL() << "published"; }, {}),
               platform::Error);
  const float samples[] = {0.1f, 0.2f};
  diarizer->append(samples, 16000);
  diarizer->finish();
  diarizer->cancel();
}

// A coroutine of its own rather than a lambda, whose captures would not outlive the first suspension.
QCoro::Task<> sleepThenMark(std::shared_ptr<ModelClock> clock, std::stop_token stop, bool* ended) {
  co_await clock->sleep(3600, std::move(stop));
  *ended = true;
}

TEST(ModelClockTest, SystemSleepEndsAfterItsTimeOrOnStop) {
  int argc = 0;
  QCoreApplication app(argc, nullptr);
  const std::shared_ptr<ModelClock> clock = ModelClock::system();
  QCoro::waitFor(clock->sleep(0.01, {}));
  std::stop_source stop;
  bool ended = false;
  QCoro::Task<> sleeping = sleepThenMark(clock, stop.get_token(), &ended);
  EXPECT_FALSE(ended);
  stop.request_stop();
  QCoro::waitFor(sleeping);
  EXPECT_TRUE(ended);
  std::stop_source stopped;
  stopped.request_stop();
  QCoro::waitFor(clock->sleep(3600, stopped.get_token()));
}

}  // namespace
}  // namespace veltovoice
