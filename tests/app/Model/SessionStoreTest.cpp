#include "app/Model/SessionStore.h"

#include <csignal>
#include <fstream>
#include <iterator>
#include <set>

#include <sys/resource.h>

#include <QLocale>

#include <fmt/format.h>

#include <gtest/gtest.h>

#include "platform/sys/FileIO.h"
#include "platform/sys/JsonCodingError.h"
#include "platform/sys/FileError.h"
#include "platform/text/Graphemes.h"
#include "tests/support/TemporaryFolder.h"

namespace veltovoice {
namespace {

namespace fs = std::filesystem;

// 2025-03-05 14:07:09 in Tokyo (the test time zone), as seconds since 2001.
constexpr double kMarch5At140709 = 762844029.0;

void writeBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// Makes every write of this process past `bytes` fail (EFBIG) while it lives: a real write error
// that even root cannot write through.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &previous_);
    rlimit limited = previous_;
    limited.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limited);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &previous_);
    std::signal(SIGXFSZ, previousHandler_);
  }

 private:
  rlimit previous_{};
  void (*previousHandler_)(int);
};

class SessionStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { QLocale::setDefault(QLocale(QLocale::Japanese, QLocale::Japan)); }
  void TearDown() override { QLocale::setDefault(QLocale::c()); }

  fs::path sessions() const { return store_.sessionsDirectory; }

  // Names of every entry of the sessions folder.
  std::set<std::string> entries() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(sessions())) {
      names.insert(entry.path().filename().string());
    }
    return names;
  }

  static VoiceSession conversation(const std::string& title, double startedAt) {
    VoiceSession s;
    s.title = title;
    s.startedAt = startedAt;
    s.markdownFile = SessionStore::markdownFileName(startedAt, title);
    s.segments = {LiveSegment{.text = "おはようございます", .start = 0.0, .end = 2.0, .speaker = 0},
                  LiveSegment{.text = "はい", .start = 3.5, .speaker = 1, .edited = true}};
    s.speakerNames = {{0, "司会"}};
    return s;
  }

  static std::string uuidName(const VoiceSession& s) {
    return s.id.toString(QUuid::WithoutBraces).toUpper().toStdString() + ".json";
  }

  testsupport::TemporaryFolder folder_;
  SessionStore store_ = SessionStore::inFolder(folder_ / "VeltoVoice");
};

TEST_F(SessionStoreTest, StartsEmptyAndCreatesTheFolder) {
  EXPECT_TRUE(store_.loadAll().empty());
  EXPECT_TRUE(fs::is_directory(sessions()));
  EXPECT_EQ(store_.audioDirectory, folder_ / "VeltoVoice" / "Audio");
}

TEST_F(SessionStoreTest, LoadsWhatItSavedNewestFirst) {
  VoiceSession old = conversation("古い", 1000);
  VoiceSession newest = conversation("新しい", 3000);
  VoiceSession twinA = conversation("同時A", 2000);
  VoiceSession twinB = conversation("同時B", 2000);
  twinB.markdownFile.reset();
  twinB.tasks = std::vector<TaskItem>{};
  twinB.topics = std::vector<TopicTag>{};
  twinB.segmentsBackup = std::vector<LiveSegment>{};
  for (const VoiceSession& s : {old, twinA, newest, twinB}) store_.save(s);

  std::vector<VoiceSession> loaded = store_.loadAll();
  ASSERT_EQ(loaded.size(), 4u);
  EXPECT_EQ(loaded[0], newest);
  EXPECT_EQ(loaded[3], old);
  // Equal start times keep the listing order, which the file system chooses.
  EXPECT_TRUE((loaded[1] == twinA && loaded[2] == twinB) || (loaded[1] == twinB && loaded[2] == twinA));
}

TEST_F(SessionStoreTest, WritesConversationFileAndRenderingOnly) {
  VoiceSession s = conversation("3月5日 14:07 の録音", kMarch5At140709);
  store_.save(s);
  const std::string markdownName = "2025-03-05 1407 3月5日 14：07 の録音.md";
  EXPECT_EQ(entries(), (std::set<std::string>{uuidName(s), markdownName}));
  EXPECT_EQ(platform::readFile(sessions() / uuidName(s)), s.toJsonText());
  EXPECT_EQ(platform::readFile(sessions() / markdownName), s.markdown());

  VoiceSession withoutRendering = conversation("x", 1);
  withoutRendering.markdownFile.reset();
  store_.save(withoutRendering);
  EXPECT_EQ(entries().size(), 3u);
}

TEST_F(SessionStoreTest, RenamingKeepsTheRenderingsName) {
  VoiceSession s = conversation("旧題", kMarch5At140709);
  store_.save(s);
  s.title = "新題";
  store_.save(s);
  const fs::path rendering = sessions() / "2025-03-05 1407 旧題.md";
  EXPECT_EQ(platform::readFile(rendering).rfind("# 新題\n", 0), 0u);
  EXPECT_EQ(entries().size(), 2u);
}

TEST_F(SessionStoreTest, SkipsFilesItCannotReadAndLeavesThemAlone) {
  const VoiceSession good = conversation("読める", 5);
  const std::string goodJson = good.toJsonText();
  std::string wrongType = goodJson;
  wrongType.replace(wrongType.find("\"title\": \"読める\""), std::string("\"title\": \"読める\"").size(),
                    "\"title\": 7");
  std::string badUuid = goodJson;
  badUuid.replace(badUuid.find(uuidName(good).substr(0, 8)), 8, "ZZZZZZZZ");
  std::string badSlot = goodJson;
  badSlot.replace(badSlot.find("\"0\": \"司会\""), std::string("\"0\": \"司会\"").size(),
                  "\"first\": \"司会\"");
  struct Case {
    const char* file;
    std::string content;
  };
  const Case cases[] = {
      {"truncated.json", goodJson.substr(0, goodJson.size() / 2)},
      {"wrongType.json", wrongType},
      {"badUuid.json", badUuid},
      {"badSlot.json", badSlot},
      {"otherJson.json", "{\"version\": 3, \"items\": [1, 2]}"},
      {"array.json", "[1, 2, 3]"},
      {"empty.json", ""},
      {"binary.json", std::string("\x00\xff\xfe{", 4)},
      {"CAPITALS.JSON", VoiceSession{.title = "大文字"}.toJsonText()},
      {"text.txt", VoiceSession{.title = "テキスト"}.toJsonText()},
      {".hidden.json~", VoiceSession{.title = "隠し"}.toJsonText()},
  };
  store_.save(good);
  for (const Case& c : cases) writeBytes(sessions() / c.file, c.content);
  fs::create_directory(sessions() / "folder.json");
  const std::set<std::string> before = entries();

  std::vector<VoiceSession> loaded = store_.loadAll();
  ASSERT_EQ(loaded.size(), 1u);
  EXPECT_EQ(loaded[0], good);
  EXPECT_EQ(entries(), before);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    EXPECT_EQ(platform::readFile(sessions() / c.file), c.content);
  }
}

TEST_F(SessionStoreTest, UnreadableConversationKeepsItsRenderingFromConversion) {
  struct Case {
    const char* name;
    std::string markdownFile;
    std::string (*damage)(const std::string& json);
  };
  const Case cases[] = {
      {"cutAfterTheName", "2025-03-05 1407 定例会.md",
       [](const std::string& json) { return json.substr(0, json.find("\"segments\"")); }},
      {"newerVersion", "2025-03-05 1407 定例会.md",
       [](const std::string& json) {
         std::string changed = json;
         changed.replace(changed.find("\"speakerNames\": {"), 17, "\"speakerNames\": [{");
         return changed;
       }},
      {"escapedName", "a \"quoted\" \\ name.md",
       [](const std::string& json) { return json + "garbage"; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::TemporaryFolder root;
    const SessionStore store = SessionStore::inFolder(root.path());
    VoiceSession s = conversation("定例会", kMarch5At140709);
    s.markdownFile = c.markdownFile;
    store.save(s);
    const fs::path json = store.conversationFile(s.id);
    const std::string damaged = c.damage(platform::readFile(json));
    writeBytes(json, damaged);
    const std::string rendering = platform::readFile(store.sessionsDirectory / c.markdownFile);

    EXPECT_TRUE(store.loadAll().empty());
    EXPECT_EQ(platform::readFile(json), damaged);
    EXPECT_EQ(platform::readFile(store.sessionsDirectory / c.markdownFile), rendering);
    EXPECT_EQ(std::distance(fs::directory_iterator(store.sessionsDirectory), fs::directory_iterator()), 2);
  }
}

TEST_F(SessionStoreTest, ManyConversationsLoadLikeFew) {
  // Enough files for loadAll() to decode on several threads.
  std::vector<VoiceSession> saved;
  for (int n = 0; n < 60; ++n) {
    saved.push_back(conversation(fmt::format("会議{}", n), 1000.0 * n));
    store_.save(saved.back());
  }
  for (int n = 0; n < 60; n += 7) {
    const fs::path json = store_.conversationFile(saved[n].id);
    writeBytes(json, platform::readFile(json).substr(0, 300));
  }
  const std::set<std::string> before = entries();

  std::vector<VoiceSession> expected;
  for (int n = 59; n >= 0; --n) {
    if (n % 7 != 0) expected.push_back(saved[n]);
  }
  EXPECT_EQ(store_.loadAll(), expected);
  EXPECT_EQ(entries(), before);
}

TEST_F(SessionStoreTest, ConvertsALegacyFileOnce) {
  const VoiceSession named = conversation("保存済み", 10);
  store_.save(named);
  const std::string legacyName = "定例会メモ.md";
  writeBytes(sessions() / legacyName,
             "# 定例会\n- 開始: 2024/4/1 9:05:00\n[00:05] 司会：おはようございます\n続きの行\n"
             "[00:12] 話者B：はい\n");

  std::vector<VoiceSession> first = store_.loadAll();
  ASSERT_EQ(first.size(), 2u);
  const VoiceSession& converted = first[0].title == "定例会" ? first[0] : first[1];
  EXPECT_EQ(converted.markdownFile, legacyName);
  EXPECT_EQ(platform::readFile(sessions() / legacyName), converted.markdown());
  EXPECT_EQ(platform::readFile(store_.conversationFile(converted.id)), converted.toJsonText());
  EXPECT_EQ(entries().size(), 4u);

  std::vector<VoiceSession> second = store_.loadAll();
  EXPECT_EQ(second, first);
  EXPECT_EQ(entries().size(), 4u);
}

TEST_F(SessionStoreTest, LegacyFileThatIsNotUtf8IsLeftForLater) {
  const std::string bytes = "# 題\n[00:01] \xff\xfe\n";
  fs::create_directories(sessions());
  writeBytes(sessions() / "壊れた.md", bytes);
  EXPECT_TRUE(store_.loadAll().empty());
  EXPECT_EQ(platform::readFile(sessions() / "壊れた.md"), bytes);
  EXPECT_EQ(entries().size(), 1u);
}

TEST_F(SessionStoreTest, FailedConversationWriteLeavesThePreviousFile) {
  VoiceSession s = conversation("定例会", kMarch5At140709);
  store_.save(s);
  const std::string before = platform::readFile(store_.conversationFile(s.id));
  const std::set<std::string> entriesBefore = entries();

  s.segments.resize(200, LiveSegment{.text = std::string(500, 'x')});
  {
    FileSizeLimit limit(before.size() + 1000);
    EXPECT_THROW(store_.save(s), platform::FileError);
  }
  EXPECT_EQ(platform::readFile(store_.conversationFile(s.id)), before);
  EXPECT_EQ(entries(), entriesBefore);
}

TEST_F(SessionStoreTest, FailedRenderingWriteKeepsTheNewConversationFile) {
  struct Case {
    const char* name;
    std::string markdownFile;
  };
  const Case cases[] = {
      {"folderInTheWay", "in the way.md"},
      {"folderPart", "../outside.md"},
      {"parentFolder", ".."},
  };
  fs::create_directories(sessions() / "in the way.md");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VoiceSession s = conversation("題", 1);
    s.markdownFile = c.markdownFile;
    EXPECT_THROW(store_.save(s), platform::FileError);
    EXPECT_EQ(platform::readFile(store_.conversationFile(s.id)), s.toJsonText());
  }
  EXPECT_TRUE(fs::is_empty(sessions() / "in the way.md"));
  EXPECT_FALSE(fs::exists(sessions().parent_path() / "outside.md"));
}

TEST_F(SessionStoreTest, EncodingFailureWritesNothing) {
  VoiceSession s = conversation("題", 1);
  store_.save(s);
  const std::string before = platform::readFile(store_.conversationFile(s.id));
  s.duration = std::numeric_limits<double>::quiet_NaN();
  s.title = "変更";
  EXPECT_THROW(store_.save(s), platform::JsonCodingError);
  EXPECT_EQ(platform::readFile(store_.conversationFile(s.id)), before);
  EXPECT_EQ(platform::readFile(sessions() / *s.markdownFile).rfind("# 題\n", 0), 0u);
}

TEST_F(SessionStoreTest, FolderThatCannotBeMadeFailsSavesButNotLoads) {
  writeBytes(folder_ / "plain file", "");
  const SessionStore blocked = SessionStore::inFolder(folder_ / "plain file");
  EXPECT_TRUE(blocked.loadAll().empty());
  EXPECT_THROW(blocked.save(conversation("題", 1)), platform::FileError);
}

TEST_F(SessionStoreTest, MarkdownFileNames) {
  const std::string family = "👨‍👩‍👧";  // one character of 18 bytes
  std::string longTitle;
  for (int i = 0; i < 20; ++i) longTitle += family;
  struct Case {
    const char* name;
    std::string title;
    std::string suffix;
    std::string expected;
  };
  const Case cases[] = {
      {"defaultTitle", "3月5日 14:07 の録音", "", "2025-03-05 1407 3月5日 14：07 の録音.md"},
      {"slashesAndColons", "a/b:c//", "", "2025-03-05 1407 a／b：c／／.md"},
      {"emptyTitle", "", "", "2025-03-05 1407 .md"},
      {"withSuffix", "題", " 2", "2025-03-05 1407 題 2.md"},
      // 16 bytes of date, then 13 whole characters (234 bytes) of the title, then ".md".
      {"longTitleCutAtCharacter", longTitle, "", "2025-03-05 1407 " + [&] {
         std::string s;
         for (int i = 0; i < 13; ++i) s += family;
         return s;
       }() + ".md"},
      {"longTitleCutWithSuffix", longTitle, " 12", "2025-03-05 1407 " + [&] {
         std::string s;
         for (int i = 0; i < 12; ++i) s += family;
         return s;
       }() + " 12.md"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = SessionStore::markdownFileName(kMarch5At140709, c.title, c.suffix);
    EXPECT_EQ(name, c.expected);
    EXPECT_LE(name.size(), 255u);
  }

  std::string colons(200, ':');  // 600 bytes once widened
  const std::string name = SessionStore::markdownFileName(kMarch5At140709, colons);
  EXPECT_EQ(name.size(), 16u + 78 * 3 + 3);
  VoiceSession s = conversation(colons, kMarch5At140709);
  s.markdownFile = name;
  EXPECT_NO_THROW(store_.save(s));
}

TEST_F(SessionStoreTest, SameMinuteSameTitleGetsItsOwnRendering) {
  VoiceSession first = conversation("定例会", kMarch5At140709);
  first.markdownFile = store_.newMarkdownFileName(first.startedAt, first.title, {});
  store_.save(first);

  VoiceSession second = conversation("定例会", kMarch5At140709 + 20);
  second.markdownFile = store_.newMarkdownFileName(second.startedAt, second.title, {first});
  VoiceSession third = conversation("定例会", kMarch5At140709 + 40);
  // The second is not saved yet: only the list knows its name.
  third.markdownFile = store_.newMarkdownFileName(third.startedAt, third.title, {first, second});
  // A stray file holds the first name: the folder alone is enough to see it.
  writeBytes(sessions() / "2025-03-05 1407 別件.md", "");
  const std::string fourth = store_.newMarkdownFileName(kMarch5At140709, "別件", {});

  EXPECT_EQ(first.markdownFile, "2025-03-05 1407 定例会.md");
  EXPECT_EQ(second.markdownFile, "2025-03-05 1407 定例会 2.md");
  EXPECT_EQ(third.markdownFile, "2025-03-05 1407 定例会 3.md");
  EXPECT_EQ(fourth, "2025-03-05 1407 別件 2.md");

  store_.save(second);
  store_.save(third);
  EXPECT_EQ(platform::readFile(sessions() / *first.markdownFile), first.markdown());
  EXPECT_EQ(platform::readFile(sessions() / *second.markdownFile), second.markdown());
  // Three conversations, and the stray file read as a legacy conversation.
  EXPECT_EQ(store_.loadAll().size(), 4u);
}

}  // namespace
}  // namespace veltovoice
