#include "app/Model/SessionStore.h"

#include <chrono>
#include <fstream>

#include <QLocale>

#include <gtest/gtest.h>

#include "tests/support/TemporaryFolder.h"

namespace veltovoice {
namespace {

namespace fs = std::filesystem;

// 2024-04-01 09:05:00 in Tokyo (the test time zone), as seconds since 2001.
constexpr double kApril1At0905 = 733622700.0;

double nowSince2001() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count() - 978307200.0;
}

struct Sentence {
  std::string text;
  std::optional<double> start;
  std::optional<int> speaker;
  bool operator==(const Sentence&) const = default;
};

std::vector<Sentence> sentencesOf(const VoiceSession& s) {
  std::vector<Sentence> result;
  for (const LiveSegment& segment : s.segments) {
    result.push_back({segment.text, segment.start, segment.speaker});
  }
  return result;
}

class SessionStoreMigrateTest : public ::testing::Test {
 protected:
  void SetUp() override { QLocale::setDefault(QLocale(QLocale::Japanese, QLocale::Japan)); }
  void TearDown() override { QLocale::setDefault(QLocale::c()); }

  fs::path write(const std::string& name, const std::string& text) {
    const fs::path path = folder_ / name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }

  testsupport::TemporaryFolder folder_;
};

TEST_F(SessionStoreMigrateTest, ReadsTheFiveLineExample) {
  const fs::path file = write("legacy.md",
                              "# 定例会\n"
                              "- 開始: 2024/4/1 9:05:00\n"
                              "[00:05] 司会：おはようございます\n"
                              "続きの行\n"
                              "[00:12] 話者B：はい");
  std::optional<VoiceSession> s = SessionStore::migrate(file);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->title, "定例会");
  EXPECT_EQ(s->startedAt, kApril1At0905);
  EXPECT_EQ(sentencesOf(*s), (std::vector<Sentence>{{"おはようございます\n続きの行", 5.0, 0},
                                                    {"はい", 12.0, 1}}));
  EXPECT_EQ(s->speakerNames, (std::map<int, std::string>{{0, "司会"}}));
  EXPECT_EQ(s->speakerName(1), "話者B");
  EXPECT_EQ(s->markdownFile, "legacy.md");
  for (const LiveSegment& segment : s->segments) {
    EXPECT_FALSE(segment.end || segment.speakerLocked || segment.edited);
  }
  EXPECT_FALSE(s->duration || s->audioFile || s->tasks || s->tasksScannedThrough || s->topics ||
               s->segmentsBackup || s->memo);
}

TEST_F(SessionStoreMigrateTest, ReadsSentenceLines) {
  struct Case {
    const char* name;
    std::string text;
    std::vector<Sentence> sentences;
    std::map<int, std::string> speakerNames;
  };
  const Case cases[] = {
      {"defaultLabelsRenumbered", "[00:01] 話者B：a\n[00:02] 話者A：b\n[00:03] 話者B：c",
       {{"a", 1.0, 0}, {"b", 2.0, 1}, {"c", 3.0, 0}}, {}},
      {"twoCharacterLabel", "[00:01] 議題：予算", {{"予算", 1.0, 0}}, {{0, "議題"}}},
      {"twelveCharacterLabel", "[00:01] 一二三四五六七八九十一二：x",
       {{"x", 1.0, 0}}, {{0, "一二三四五六七八九十一二"}}},
      {"thirteenCharactersNoLabel", "[00:01] 一二三四五六七八九十一二三：x",
       {{"一二三四五六七八九十一二三：x", 1.0, std::nullopt}}, {}},
      {"asciiColonNoLabel", "[00:01] 司会: x", {{"司会: x", 1.0, std::nullopt}}, {}},
      {"timeForms", "[1:02:03] a\n[--:--] b\n[ 01:05] c\n[1.5:2] d\n[::01::05] e",
       {{"a", std::nullopt, std::nullopt},
        {"b", std::nullopt, std::nullopt},
        {"c", std::nullopt, std::nullopt},
        {"d", 92.0, std::nullopt},
        {"e", 65.0, std::nullopt}}, {}},
      {"linesBeforeFirstSentenceIgnored", "# t\n\n前置き\n[00:01] a", {{"a", 1.0, std::nullopt}}, {}},
      {"emptyLineBeforeNextSentenceVanishes", "[00:01] a\n\n[00:02] b",
       {{"a", 1.0, std::nullopt}, {"b", 2.0, std::nullopt}}, {}},
      {"emptyLineInsideContinuationStays", "[00:01] a\n\nc\n",
       {{"a\n\nc", 1.0, std::nullopt}}, {}},
      {"bracketWithoutCloseContinues", "[00:01] a\n[閉じない",
       {{"a\n[閉じない", 1.0, std::nullopt}}, {}},
      {"restTrimmedOfBlanksOnly", "[00:01]\u3000\t司会：x ", {{"x", 1.0, 0}}, {{0, "司会"}}},
      {"textAfterLabelTrimmedAtTheEnd", "[00:01] 司会： x\n", {{"x", 1.0, 0}}, {{0, "司会"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<VoiceSession> s = SessionStore::migrate(write("case.md", c.text));
    ASSERT_TRUE(s);
    EXPECT_EQ(sentencesOf(*s), c.sentences);
    EXPECT_EQ(s->speakerNames, c.speakerNames);
  }
}

TEST_F(SessionStoreMigrateTest, FallsBackToFileNameAndCreationTime) {
  struct Case {
    const char* name;
    std::string text;
    std::string title;
    bool parsedStart;
  };
  const Case cases[] = {
      {"noHeadingNoStart", "[00:01] a", "会議メモ", false},
      {"unparsableStart", "# 題\n- 開始: 4月1日の朝", "題", false},
      {"startWithTrailingText", "# 題\n- 開始: 2024/4/1 9:05:00 頃", "題", false},
      {"onlyFirstStartLineTried", "# 題\n- 開始: 昨日\n- 開始: 2024/4/1 9:05:00", "題", false},
      {"firstHeadingWins", "# 一\n# 二\n- 開始: 2024/4/1 9:05:00", "一", true},
      {"headingKeptAsIs", "#  題 \n", " 題 ", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const double before = nowSince2001() - 2;
    std::optional<VoiceSession> s = SessionStore::migrate(write("会議メモ.md", c.text));
    const double after = nowSince2001() + 2;
    ASSERT_TRUE(s);
    EXPECT_EQ(s->title, c.title);
    if (c.parsedStart) {
      EXPECT_EQ(s->startedAt, kApril1At0905);
    } else {
      EXPECT_GE(s->startedAt, before);
      EXPECT_LE(s->startedAt, after);
    }
  }
}

TEST_F(SessionStoreMigrateTest, RefusesWhatIsNotUtf8Text) {
  EXPECT_FALSE(SessionStore::migrate(write("bad.md", "# 題\n[00:01] \xc3\x28")));
  EXPECT_FALSE(SessionStore::migrate(folder_ / "missing.md"));
}

TEST_F(SessionStoreMigrateTest, ReadsBackASavedRendering) {
  VoiceSession s;
  s.title = "定例会";
  s.startedAt = kApril1At0905;
  s.segments = {
      LiveSegment{.text = "おはようございます", .start = 5.7, .end = 8.0, .speaker = 0,
                  .speakerLocked = true, .edited = true},
      LiveSegment{.text = "資料です", .speaker = 1},
      LiveSegment{.text = "長い時間", .start = 3725.0, .speaker = 2},
      LiveSegment{.text = "次の議題", .start = 70.0},
  };
  s.speakerNames = {{1, "一二三四五六七八九十一二三"}, {2, "司会"}};
  s.topics = std::vector<TopicTag>{
      TopicTag{.title = "予算", .startSegmentID = s.segments[3].id, .points = {"確認"}}};
  s.tasks = std::vector<TaskItem>{TaskItem{.title = "送る", .assignee = "営業"}};
  s.markdownFile = "rendering.md";

  testsupport::TemporaryFolder root;
  const SessionStore store = SessionStore::inFolder(root.path());
  store.save(s);
  fs::remove(store.conversationFile(s.id));
  std::optional<VoiceSession> back = SessionStore::migrate(store.sessionsDirectory / "rendering.md");
  ASSERT_TRUE(back);
  EXPECT_EQ(back->title, "定例会");
  EXPECT_EQ(back->startedAt, kApril1At0905);
  EXPECT_EQ(sentencesOf(*back),
            (std::vector<Sentence>{{"おはようございます", 5.0, 0},
                                   {"一二三四五六七八九十一二三：資料です", std::nullopt, std::nullopt},
                                   {"長い時間\n\n■ 予算", std::nullopt, 1},
                                   {"次の議題", 70.0, std::nullopt}}));
  EXPECT_EQ(back->speakerNames, (std::map<int, std::string>{{1, "司会"}}));
}

}  // namespace
}  // namespace veltovoice
