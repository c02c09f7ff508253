#include "app/Model/VoiceSession.h"

#include <QLocale>

#include <gtest/gtest.h>

namespace veltovoice {
namespace {

using Lines = std::vector<std::string>;

// 2025-03-05 14:07:09 in Tokyo (the test time zone), as seconds since 2001.
constexpr double kMarch5At140709 = 762844029.0;

class VoiceSessionTextTest : public ::testing::Test {
 protected:
  void SetUp() override { QLocale::setDefault(QLocale(QLocale::Japanese, QLocale::Japan)); }
  void TearDown() override { QLocale::setDefault(QLocale::c()); }

  // Sentences at 0 s by slot 0, at 65 s without speaker, at 3,725 s by slot 1 (named 司会),
  // with the topic 予算 starting at the third.
  static VoiceSession meeting() {
    VoiceSession s;
    s.title = "定例会";
    s.startedAt = kMarch5At140709;
    s.segments = {LiveSegment{.text = "おはようございます", .start = 0.0, .speaker = 0},
                  LiveSegment{.text = "資料を配ります", .start = 65.0},
                  LiveSegment{.text = "次の議題です", .start = 3725.0, .speaker = 1}};
    s.speakerNames = {{1, "司会"}};
    s.topics = std::vector<TopicTag>{TopicTag{.title = "予算",
                                              .startSegmentID = s.segments[2].id}};
    return s;
  }
};

TEST_F(VoiceSessionTextTest, TranscriptMarksTopicsAndSpeakers) {
  EXPECT_EQ(meeting().transcriptText(),
            "[00:00] 話者A：おはようございます\n"
            "[01:05] 資料を配ります\n"
            "\n"
            "■ 予算\n"
            "[1:02:05] 司会：次の議題です");
}

TEST_F(VoiceSessionTextTest, TranscriptEdgeCases) {
  struct Case {
    const char* name;
    std::vector<LiveSegment> segments;
    int topicAt;  // index of the sentence that starts a topic "冒頭", or -1
    const char* expected;
  };
  const Case cases[] = {
      {"noSentences", {}, -1, ""},
      {"untimedSentence", {LiveSegment{.text = "x"}}, -1, "[--:--] x"},
      {"hoursForm", {LiveSegment{.text = "x", .start = 3600.0}}, -1, "[1:00:00] x"},
      {"thirdDefaultSpeaker", {LiveSegment{.text = "x", .start = 1.0, .speaker = 2}}, -1,
       "[00:01] 話者C：x"},
      {"lineFeedInText", {LiveSegment{.text = "一行目\n二行目", .start = 1.0}}, -1,
       "[00:01] 一行目\n二行目"},
      {"topicAtFirstSentence", {LiveSegment{.text = "x", .start = 1.0}}, 0,
       "\n■ 冒頭\n[00:01] x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VoiceSession s;
    s.segments = c.segments;
    if (c.topicAt >= 0) {
      s.topics = std::vector<TopicTag>{
          TopicTag{.title = "冒頭", .startSegmentID = s.segments[c.topicAt].id},
          TopicTag{.title = "二番目は無視", .startSegmentID = s.segments[c.topicAt].id}};
    }
    EXPECT_EQ(s.transcriptText(), c.expected);
  }
}

TEST_F(VoiceSessionTextTest, MinutesListPointsAndDecisionsUnderTopics) {
  VoiceSession s;
  s.segments = {LiveSegment{.text = "x", .start = 65.0}, LiveSegment{.text = "y"}};
  s.topics = std::vector<TopicTag>{
      TopicTag{.title = "予算", .startSegmentID = s.segments[0].id,
               .points = {"見積もりを確認"}, .decisions = {"来週までに再提出"}},
      TopicTag{.title = "時刻なし", .startSegmentID = s.segments[1].id, .points = {"a", "b"}},
      TopicTag{.title = "文が消えた", .startSegmentID = QUuid::createUuid(),
               .decisions = {"c"}},
      TopicTag{.title = "空", .startSegmentID = s.segments[0].id},
  };
  EXPECT_EQ(s.minutesMarkdown(),
            "## 議事録\n\n"
            "### 予算（01:05〜）\n\n- 見積もりを確認\n- **決定**：来週までに再提出\n\n"
            "### 時刻なし\n\n- a\n- b\n\n"
            "### 文が消えた\n\n- **決定**：c\n\n"
            "### 空（01:05〜）\n\n\n");
}

TEST_F(VoiceSessionTextTest, MinutesAreEmptyWithoutPointsOrDecisions) {
  VoiceSession s;
  EXPECT_EQ(s.minutesMarkdown(), "");
  s.topics = std::vector<TopicTag>{TopicTag{.title = "a"}, TopicTag{.title = "b"}};
  EXPECT_EQ(s.minutesMarkdown(), "");
}

TEST_F(VoiceSessionTextTest, TaskOutlineWalksTheTreeThenOrphans) {
  const QUuid missing = QUuid::createUuid();
  TaskItem send{.title = "議事録を送る", .assignee = "営業部", .due = "金曜", .done = true};
  TaskItem check{.title = "宛先を確認", .parentID = send.id};
  TaskItem checkDeeper{.title = "住所", .due = "明日", .parentID = check.id};
  TaskItem book{.title = "会場を予約", .assignee = " "};
  TaskItem orphan{.title = "迷子", .assignee = "誰か", .due = "いつか", .done = true,
                  .parentID = missing};
  TaskItem orphansChild{.title = "迷子の子", .parentID = orphan.id};
  TaskItem lateChild{.title = "後から来た子", .parentID = send.id};

  VoiceSession s;
  EXPECT_EQ(s.taskOutline(), Lines{});
  s.tasks = std::vector<TaskItem>{orphansChild, send, check, orphan, book, checkDeeper, lateChild};
  EXPECT_EQ(s.taskOutline(), (Lines{
                                 "- [x] 議事録を送る（営業部）（金曜）",
                                 "  - [ ] 宛先を確認",
                                 "    - [ ] 住所（明日）",
                                 "  - [ ] 後から来た子",
                                 "- [ ] 会場を予約（ ）",
                                 "- [x] 迷子",
                             }));
}

TEST_F(VoiceSessionTextTest, TaskOutlineSurvivesRepeatedIds) {
  TaskItem top{.title = "上"};
  TaskItem twin{.id = top.id, .title = "同じid", .parentID = top.id};
  VoiceSession s;
  s.tasks = std::vector<TaskItem>{top, twin};
  EXPECT_EQ(s.taskOutline(), (Lines{"- [ ] 上", "  - [ ] 同じid"}));
}

TEST_F(VoiceSessionTextTest, MarkdownOfAFullConversation) {
  VoiceSession s = meeting();
  (*s.topics)[0].points = {"見積もりを確認"};
  s.tasks = std::vector<TaskItem>{TaskItem{.title = "会場を予約"}};
  EXPECT_EQ(s.markdown(),
            "# 定例会\n\n"
            "- 開始: 2025/3/5 14:07:09\n"
            "- 時刻は録音位置の目安。話者はVELTO VOICEの推定（おおまか）と手修正\n\n"
            "## 議事録\n\n### 予算（1:02:05〜）\n\n- 見積もりを確認\n\n"
            "## タスク\n\n- [ ] 会場を予約\n\n"
            "## 文字起こし\n\n"
            "[00:00] 話者A：おはようございます\n"
            "[01:05] 資料を配ります\n"
            "\n"
            "■ 予算\n"
            "[1:02:05] 司会：次の議題です\n");
}

TEST_F(VoiceSessionTextTest, MarkdownSectionsAppearOnlyWithContent) {
  const std::string head =
      "# t\n\n- 開始: 2025/3/5 14:07:09\n"
      "- 時刻は録音位置の目安。話者はVELTO VOICEの推定（おおまか）と手修正\n\n";
  VoiceSession s;
  s.title = "t";
  s.startedAt = kMarch5At140709;
  EXPECT_EQ(s.markdown(), head + "\n");

  s.topics = std::vector<TopicTag>{TopicTag{.title = "点なし"}};
  s.segments = {LiveSegment{.text = "x", .start = 1.0}};
  EXPECT_EQ(s.markdown(), head + "[00:01] x\n");

  s.tasks = std::vector<TaskItem>{TaskItem{.title = "a"}, TaskItem{.title = "b", .done = true}};
  EXPECT_EQ(s.markdown(),
            head + "## タスク\n\n- [ ] a\n- [x] b\n\n## 文字起こし\n\n[00:01] x\n");
}

}  // namespace
}  // namespace veltovoice
