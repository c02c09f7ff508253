#include "app/Processing/MinutesPanel.h"

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <QAbstractButton>
#include <QAction>
#include <QLabel>
#include <QTest>
#include <QToolButton>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "app/Processing/MinutesMaker.h"
#include "app/Shell/WrappedText.h"
#include "tests/app/Processing/PanelFixture.h"

namespace veltovoice {
namespace {

using testing::sentence;
using testing::task;
using testsupport::LanguageModelFake;

const QString kNotReady = QStringLiteral("言語モデルのサーバーが応答しません。サーバーが動いているか確かめて、もう一度試してください。");

TopicTag topic(const std::string& title, const QUuid& start, std::vector<std::string> points = {},
               std::vector<std::string> decisions = {}) {
  TopicTag made;
  made.title = title;
  made.startSegmentID = start;
  made.points = std::move(points);
  made.decisions = std::move(decisions);
  return made;
}

QStringList texts(const QWidget* block, const char* objectName) {
  QStringList found;
  for (const QLabel* label : block->findChildren<QLabel*>(QString::fromLatin1(objectName))) found << label->text();
  return found;
}

// The language model answers topic boundaries and summaries, each kind held back until the test
// lets it go, so that a job can be seen in each of its phases.
class MinutesPanelTest : public testing::PanelTest {
 protected:
  MinutesPanelTest() {
    fake_.setScript([this](const LanguageModelFake::Request& request) {
      const bool boundaries = request.system == MinutesMaker::kBoundaryInstructions;
      const std::atomic<bool>& go = boundaries ? boundariesGo_ : summariesGo_;
      for (int i = 0; i < 60000 && !go; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      if (boundaries) {
        return LanguageModelFake::content(
            nlohmann::json{{"topics", {{{"n", 0}, {"title", "予算"}}, {{"n", 12}, {"title", "日程"}}}}}.dump());
      }
      return LanguageModelFake::content(nlohmann::json{{"points", {"見積もりを見直す"}}, {"decisions", {"B案"}}}.dump());
    });
  }

  ~MinutesPanelTest() override {
    boundariesGo_ = true;
    summariesGo_ = true;
    if (model_) testsupport::processEventsUntil([this] { return model_->jobs().empty(); });
  }

  // A conversation of `count` sentences a minute apart.
  static VoiceSession conversation(int count) {
    VoiceSession session;
    for (int i = 0; i < count; ++i) session.segments.push_back(sentence("発言 " + std::to_string(i), 60.0 * i));
    return session;
  }

  std::atomic<bool> boundariesGo_ = false;
  std::atomic<bool> summariesGo_ = false;
};

TEST_F(MinutesPanelTest, HeaderAndMenuFollowTheConversation) {
  struct Case {
    const char* name;
    bool topics;
    bool sentences;
    bool tasks;
    bool recording;
    bool available;
    bool redoShown;
    bool redoEnabled;
    QString make;
    bool makeEnabled;
    bool copyEnabled;
  };
  const QString makeText = QStringLiteral("議事録を作る");
  const QString remakeText = QStringLiteral("議事録を作り直す");
  const Case cases[] = {
      {"nothing at all", false, false, false, false, true, false, false, makeText, false, false},
      {"tasks only", false, false, true, false, true, false, false, makeText, false, true},
      {"sentences without minutes", false, true, false, false, true, false, false, makeText, true, false},
      {"minutes", true, true, false, false, true, true, true, remakeText, true, true},
      {"minutes while recording", true, true, false, true, true, true, false, remakeText, false, true},
      {"minutes, model unavailable", true, true, false, false, false, true, true, remakeText, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    window_.reset();
    model_.reset();
    setLanguageModelAvailable(c.available);
    VoiceSession session = conversation(c.sentences ? 3 : 0);
    if (c.topics) session.topics = std::vector<TopicTag>{topic("予算", QUuid::createUuid(), {"見直す"})};
    if (c.tasks) session.tasks = std::vector<TaskItem>{task("送る")};
    const QUuid id = store(session);
    if (c.recording) model().setLiveID(id);
    MinutesPanel& panel = show<MinutesPanel>(id);
    EXPECT_FALSE(panel.busyIndicator()->isVisible());
    EXPECT_EQ(panel.redoButton()->isVisible(), c.redoShown);
    if (c.redoShown) {
      EXPECT_EQ(panel.redoButton()->isEnabled(), c.redoEnabled);
    }
    EXPECT_EQ(panel.redoButton()->toolTip(), QStringLiteral("議事録を取り直す"));
    EXPECT_EQ(panel.makeAction()->text(), c.make);
    EXPECT_EQ(panel.makeAction()->isEnabled(), c.makeEnabled);
    EXPECT_EQ(panel.copyAction()->text(), QStringLiteral("議事録とタスクをコピー"));
    EXPECT_EQ(panel.copyAction()->isEnabled(), c.copyEnabled);
    EXPECT_EQ(panel.topicBlocks().size(), c.topics ? 1u : 0u);
  }
}

TEST_F(MinutesPanelTest, EmptyStatesInOrder) {
  struct Case {
    const char* name;
    bool available;
    bool recording;
    bool sentences;
    QString text;  // empty: the button when `button`, else nothing
    bool button;
  };
  const Case cases[] = {
      {"model unavailable, first of all", false, true, true, kNotReady, false},
      {"being recorded, even with sentences", true, true, true,
       QStringLiteral("録音を終えると、話題ごとに区切って議事録を作ります。"), false},
      {"sentences", true, false, true, QString(), true},
      {"nothing", true, false, false, QString(), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    window_.reset();
    model_.reset();
    setLanguageModelAvailable(c.available);
    const QUuid id = store(conversation(c.sentences ? 2 : 0));
    if (c.recording) model().setLiveID(id);
    MinutesPanel& panel = show<MinutesPanel>(id);
    EXPECT_EQ(panel.emptyText()->isVisible(), !c.text.isEmpty());
    if (!c.text.isEmpty()) {
      EXPECT_EQ(panel.emptyText()->text(), c.text);
    }
    EXPECT_EQ(panel.makeButton()->isVisible(), c.button);
  }
}

TEST_F(MinutesPanelTest, TopicBlocksShowTimesPointsAndDecisions) {
  VoiceSession session = conversation(3);
  session.segments[1].start = 75.8;
  session.segments[2].start = std::nullopt;
  const QUuid gone = QUuid::createUuid();
  session.topics = std::vector<TopicTag>{
      topic("予算", session.segments[1].id, {"見積もりを見直す", "上限は百万円"}, {"B案で進める", "来週に再確認"}),
      topic("消えた文の話題", gone, {"要点"}),
      topic("時刻のない文の話題", session.segments[2].id, {}, {"決めた"}),
  };
  const QUuid id = store(session);
  MinutesPanel& panel = show<MinutesPanel>(id);
  ASSERT_EQ(panel.topicBlocks().size(), 3u);
  const QWidget* first = panel.topicBlocks()[0];
  EXPECT_EQ(texts(first, "topicTitle"), QStringList{"予算"});
  EXPECT_EQ(texts(first, "topicTime"), QStringList{"01:15"});
  EXPECT_EQ(texts(first, "topicPoint"), (QStringList{"・見積もりを見直す", "・上限は百万円"}));
  EXPECT_EQ(texts(first, "decisionBadge"), (QStringList{"決定", "決定"}));
  EXPECT_EQ(texts(first, "decisionText"), (QStringList{"B案で進める", "来週に再確認"}));
  EXPECT_TRUE(texts(panel.topicBlocks()[1], "topicTime").isEmpty()) << "its sentence is gone";
  EXPECT_TRUE(texts(panel.topicBlocks()[2], "topicTime").isEmpty()) << "its sentence has no time";
  for (const QWidget* block : panel.topicBlocks()) {
    EXPECT_TRUE(texts(block, "topicPending").isEmpty()) << "no job runs";
  }
  EXPECT_FALSE(panel.emptyText()->isVisible());
  EXPECT_FALSE(panel.makeButton()->isVisible());

  struct Case {
    std::size_t block;
    QUuid request;
  };
  const Case cases[] = {{0, session.segments[1].id}, {1, gone}, {2, session.segments[2].id}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.block);
    auto* heading = panel.topicBlocks()[c.block]->findChild<QAbstractButton*>(QStringLiteral("topicHeading"));
    ASSERT_NE(heading, nullptr);
    EXPECT_EQ(heading->toolTip(), QStringLiteral("文字起こしのこの位置へ"));
    QTest::mouseClick(heading, Qt::LeftButton);
    EXPECT_EQ(model().scrollRequest(), c.request);
  }
}

TEST_F(MinutesPanelTest, AJobShowsItsPhases) {
  const QUuid id = store(conversation(20));
  MinutesPanel& panel = show<MinutesPanel>(id);
  ASSERT_TRUE(panel.makeButton()->isVisible());
  panel.makeButton()->click();
  testsupport::settleEvents();

  // Topics being found.
  EXPECT_TRUE(panel.busyIndicator()->isVisible());
  EXPECT_EQ(panel.emptyText()->text(), QStringLiteral("話題を区切っています…"));
  EXPECT_TRUE(panel.emptyText()->isVisible());
  EXPECT_FALSE(panel.makeButton()->isVisible());
  EXPECT_FALSE(panel.makeAction()->isEnabled());

  // Topics stored, their summaries being made.
  boundariesGo_ = true;
  ASSERT_TRUE(testsupport::processEventsUntil([&] { return panel.topicBlocks().size() == 2; }));
  EXPECT_TRUE(panel.busyIndicator()->isVisible());
  EXPECT_FALSE(panel.emptyText()->isVisible());
  EXPECT_TRUE(panel.redoButton()->isVisible());
  EXPECT_FALSE(panel.redoButton()->isEnabled());
  EXPECT_FALSE(panel.makeAction()->isEnabled());
  EXPECT_EQ(panel.makeAction()->text(), QStringLiteral("議事録を作り直す"));
  for (const QWidget* block : panel.topicBlocks()) {
    EXPECT_EQ(texts(block, "topicPending"), QStringList{"まとめています…"});
  }
  EXPECT_EQ(texts(panel.topicBlocks()[1], "topicTime"), QStringList{"12:00"});

  // Done.
  summariesGo_ = true;
  ASSERT_TRUE(testsupport::processEventsUntil([&] { return model().jobs().empty(); }));
  EXPECT_FALSE(panel.busyIndicator()->isVisible());
  EXPECT_TRUE(panel.redoButton()->isEnabled());
  ASSERT_EQ(panel.topicBlocks().size(), 2u);
  for (const QWidget* block : panel.topicBlocks()) {
    EXPECT_TRUE(texts(block, "topicPending").isEmpty());
    EXPECT_EQ(texts(block, "topicPoint"), QStringList{"・見積もりを見直す"});
    EXPECT_EQ(texts(block, "decisionText"), QStringList{"B案"});
  }
}

TEST_F(MinutesPanelTest, RedoKeepsTheOldTopicsUntilTheNewOnesArrive) {
  VoiceSession session = conversation(20);
  session.topics = std::vector<TopicTag>{topic("古い話題", session.segments[0].id)};
  const QUuid id = store(session);
  MinutesPanel& panel = show<MinutesPanel>(id);
  EXPECT_TRUE(texts(panel.topicBlocks()[0], "topicPending").isEmpty());
  panel.redoButton()->click();
  testsupport::settleEvents();
  EXPECT_TRUE(panel.busyIndicator()->isVisible());
  ASSERT_EQ(panel.topicBlocks().size(), 1u);
  EXPECT_EQ(texts(panel.topicBlocks()[0], "topicTitle"), QStringList{"古い話題"});
  EXPECT_EQ(texts(panel.topicBlocks()[0], "topicPending"), QStringList{"まとめています…"});
  EXPECT_FALSE(panel.redoButton()->isEnabled());
  boundariesGo_ = true;
  summariesGo_ = true;
  ASSERT_TRUE(testsupport::processEventsUntil([&] { return model().jobs().empty(); }));
  EXPECT_EQ(panel.topicBlocks().size(), 2u);
}

TEST_F(MinutesPanelTest, CopyPutsMinutesAndTasksOnTheClipboard) {
  VoiceSession session = conversation(1);
  session.title = "定例会";
  session.topics = std::vector<TopicTag>{topic("予算", session.segments[0].id, {}, {"B案"})};
  session.tasks = std::vector<TaskItem>{task("見積もり")};
  MinutesPanel& panel = show<MinutesPanel>(store(session));
  panel.copyAction()->trigger();
  ASSERT_TRUE(clipboard_->text);
  EXPECT_EQ(clipboard_->text->rfind("# 定例会\n\n- 日時: ", 0), 0u);
  EXPECT_NE(clipboard_->text->find("### 予算（00:00〜）\n\n- **決定**：B案\n"), std::string::npos);
  EXPECT_NE(clipboard_->text->find("## タスク\n\n- [ ] 見積もり\n"), std::string::npos);
}

}  // namespace
}  // namespace veltovoice
