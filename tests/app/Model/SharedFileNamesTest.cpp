#include "app/Model/SessionStore.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QCoreApplication>
#include <QCoroTask>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/Model/LiveModel.h"
#include "platform/sys/FileError.h"
#include "platform/sys/FileIO.h"
#include "platform/text/Graphemes.h"
#include "tests/support/AppLogCapture.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/ManualClock.h"
#include "tests/support/TemporaryFolder.h"

namespace veltovoice {
namespace {

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

VoiceSession conversation(const std::string& title, double startedAt) {
  VoiceSession session;
  session.title = title;
  session.startedAt = startedAt;
  session.audioFile = LiveModel::idText(session.id) + ".m4a";
  LiveSegment said;
  said.text = title + "の発言です。";
  said.start = 1;
  session.segments = {said};
  return session;
}

// A conversation model over a temporary root with the real store; the conversations are stored
// before the model loads them.
class SharedFileNamesTest : public ::testing::Test {
 protected:
  SharedFileNamesTest() {
    if (!QCoreApplication::instance()) app_ = std::make_unique<QCoreApplication>(argc_, nullptr);
  }
  ~SharedFileNamesTest() override {
    model_.reset();
    QCoreApplication::processEvents();
  }

  SessionStore store() const { return SessionStore::inFolder(root_.path()); }

  LiveModel& model() {
    if (!model_) {
      LiveModelServices services;
      services.clock = clock_;
      model_ = std::make_unique<LiveModel>(root_.path(), services);
    }
    return *model_;
  }

  std::vector<std::string> sessionFiles() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(store().sessionsDirectory)) {
      names.push_back(entry.path().filename().string());
    }
    return names;
  }

  void writeRecording(const std::string& name) {
    fs::create_directories(store().audioDirectory);
    std::ofstream(store().audioDirectory / name) << "audio";
  }

  testsupport::AppLogCapture log_;
  int argc_ = 0;
  std::unique_ptr<QCoreApplication> app_;
  testsupport::TemporaryFolder root_;
  std::shared_ptr<testsupport::ManualClock> clock_ = std::make_shared<testsupport::ManualClock>();
  std::unique_ptr<LiveModel> model_;
};

TEST_F(SharedFileNamesTest, DeletingOneOfTwoConversationsKeepsTheFilesTheOtherNames) {
  for (int deleted = 0; deleted < 2; ++deleted) {
    SCOPED_TRACE(deleted == 0 ? "the first deleted" : "the second deleted");
    model_.reset();
    fs::remove_all(root_.path() / "Sessions");
    fs::remove_all(root_.path() / "Audio");
    VoiceSession first = conversation("原本", 100);
    first.audioFile = "shared.m4a";
    first.markdownFile = "shared.md";
    VoiceSession copy = first;  // copied by hand: another id, the same file names
    copy.id = QUuid::createUuid();
    copy.title = "写し";
    store().save(first);
    store().save(copy);
    writeRecording("shared.m4a");

    const QUuid gone = deleted == 0 ? first.id : copy.id;
    const QUuid kept = deleted == 0 ? copy.id : first.id;
    model().deleteSession(gone);
    EXPECT_TRUE(fs::exists(store().audioDirectory / "shared.m4a"));
    EXPECT_TRUE(fs::exists(store().sessionsDirectory / "shared.md"));
    EXPECT_FALSE(fs::exists(store().conversationFile(gone)));

    // The last conversation that names them takes them along.
    model().deleteSession(kept);
    EXPECT_FALSE(fs::exists(store().audioDirectory / "shared.m4a"));
    EXPECT_FALSE(fs::exists(store().sessionsDirectory / "shared.md"));
    EXPECT_EQ(model().sessionCount(), 0);
  }
}

TEST_F(SharedFileNamesTest, RenderingNamedLikeAnotherConversationFileNeverOverwritesIt) {
  const VoiceSession other = conversation("もう一つの会話", 200);
  store().save(other);
  VoiceSession edited = conversation("手で直した会話", 100);
  edited.markdownFile = LiveModel::idText(other.id) + ".json";
  // Written as a hand edit would leave it: the store itself refuses the name.
  EXPECT_THROW(store().save(edited), platform::FileError);
  EXPECT_EQ(VoiceSession::fromJsonText(platform::readFile(store().conversationFile(other.id))), other);

  ASSERT_EQ(model().sessionCount(), 2);
  const VoiceSession* loaded = model().session(edited.id);
  ASSERT_TRUE(loaded);
  ASSERT_TRUE(loaded->markdownFile);
  EXPECT_TRUE(SessionStore::isMarkdownFileName(*loaded->markdownFile)) << *loaded->markdownFile;
  model().renameSession(edited.id, "新しい題");
  model().saveAllPending();
  EXPECT_EQ(model().notice(), std::nullopt);

  EXPECT_EQ(VoiceSession::fromJsonText(platform::readFile(store().conversationFile(other.id))), other);
  EXPECT_THAT(platform::readFile(store().sessionsDirectory / *loaded->markdownFile), HasSubstr("新しい題"));
  model_.reset();
  std::vector<VoiceSession> reloaded = store().loadAll();
  ASSERT_EQ(reloaded.size(), 2u);
  EXPECT_EQ(reloaded[0], other);
  EXPECT_EQ(reloaded[1].title, "新しい題");
}

TEST_F(SharedFileNamesTest, MarkdownFileNamesThatAreTaken) {
  struct Case {
    const char* name;
    bool taken;
  };
  const Case cases[] = {
      {"2025-03-05 1407 定例会.md", true}, {"a.md", true},     {".md", false},
      {"notes.txt", false},               {"A.JSON", false},  {"x.md/y.md", false},
      {"..", false},                      {"", false},        {"report.MD", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(SessionStore::isMarkdownFileName(c.name), c.taken);
  }
}

TEST_F(SharedFileNamesTest, ConversationFileThatCannotBeReadKeepsItsRenderingFromConversion) {
  VoiceSession blocked = conversation("読めない会話", 100);
  blocked.markdownFile = "blocked.md";
  store().save(blocked);
  const fs::path file = store().conversationFile(blocked.id);
  if (::geteuid() == 0) {
    // Permissions do not stop this user: a folder in the file's place cannot be read either.
    fs::remove(file);
    fs::create_directory(file);
  } else {
    fs::permissions(file, fs::perms::none);
  }

  model();
  EXPECT_EQ(model().sessionCount(), 0) << "the rendering became a second conversation";
  EXPECT_THAT(sessionFiles(), UnorderedElementsAre(file.filename().string(), "blocked.md"));
  EXPECT_THAT(log_.messages("ERROR"), Contains(HasSubstr("会話ファイルを読めないため")));

  // Once it reads again, the conversation is back, once.
  model_.reset();
  if (fs::is_directory(file)) {
    fs::remove(file);
  } else {
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
  }
  store().save(blocked);
  EXPECT_THAT(store().loadAll(), ElementsAre(blocked));
}

TEST_F(SharedFileNamesTest, ImportedFileWhoseNameIsNotUtf8GetsARenderingItsConversationNames) {
  testsupport::TemporaryFolder outside;
  const fs::path source = outside / fs::path(std::string("会議\xff\xfe.wav"));
  testsupport::writeEncoded(source, 16000, {testsupport::sine(440, 16000, 16000)}, "pcm_s16le");

  QCoro::waitFor(model().importFile(source));
  ASSERT_EQ(model().sessionCount(), 1);
  const VoiceSession imported = model().sessionAt(0);
  EXPECT_EQ(imported.title, "会議\uFFFD\uFFFD");
  ASSERT_TRUE(imported.markdownFile);
  EXPECT_TRUE(platform::text::isValidUtf8(*imported.markdownFile));
  EXPECT_TRUE(fs::exists(store().sessionsDirectory / *imported.markdownFile));
  ASSERT_TRUE(imported.audioFile);
  EXPECT_TRUE(fs::exists(store().audioDirectory / *imported.audioFile));

  // Reloaded, it is the one conversation; deleted, nothing of it stays.
  model_.reset();
  EXPECT_THAT(store().loadAll(), ElementsAre(imported));
  model().deleteSession(imported.id);
  EXPECT_THAT(sessionFiles(), IsEmpty());
  EXPECT_TRUE(fs::is_empty(store().audioDirectory));
}

}  // namespace
}  // namespace veltovoice
