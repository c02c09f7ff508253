#include "app/Model/LiveModel.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <QCoreApplication>
#include <QLocale>
#include <QCoroTimer>
#include <QSignalSpy>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/sys/CancellationError.h"
#include "platform/sys/Error.h"
#include "platform/sys/FileIO.h"
#include "tests/app/Processing/ModelRequestFixture.h"
#include "tests/support/EventLoop.h"
#include "tests/support/LanguageModelFake.h"
#include "tests/support/ManualClock.h"
#include "tests/support/RecordingDesktop.h"
#include "tests/support/TemporaryFolder.h"

namespace veltovoice {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testsupport::LanguageModelFake;
using Boundary = MinutesMaker::Boundary;

const std::string kNotEnabled =
    "タスクの抜き出しには言語モデルが必要です。OpenAI 互換のサーバーを VELTOVOICE_LM_URL か設定ファイルの languageModel/url で指定してください。";
const std::string kNotReady = "言語モデルのサーバーが応答しません。サーバーが動いているか確かめて、もう一度試してください。";
const std::string kOther = "この環境では言語モデルを使えないため、タスクを抜き出せません。";

// 2026-12-10 14:05:00 in Tokyo, as a record time (seconds since 2001-01-01 UTC).
constexpr double kDecember10 = 1796879100.0 - 978307200.0;

class TestModel : public LiveModel {
 public:
  using LiveModel::LiveModel;
  using LiveModel::jobProgress;
  using LiveModel::setLiveID;

  // Runs `job` through the job runner the way makeMinutes does, with the minutes failure report.
  void startMinutesLike(const QUuid& id, QCoro::Task<> job) {
    setJob(id, "作業中…");
    const ConversationJobs::Handle handle = table.start(id);
    runJob(table, id, handle.run, std::move(job),
           [this, id](const std::exception& error) { minutesFailed(id, error); });
  }

  ConversationJobs table;
};

LiveSegment sentence(std::string text, std::optional<double> start, std::optional<int> speaker = 0) {
  LiveSegment segment;
  segment.text = std::move(text);
  segment.start = start;
  segment.speaker = speaker;
  return segment;
}

VoiceSession conversation(const std::string& title, int sentences, double secondsApart = 10) {
  VoiceSession session;
  session.title = title;
  session.startedAt = kDecember10;
  for (int i = 0; i < sentences; ++i) {
    session.segments.push_back(sentence("発言" + std::to_string(i), i * secondsApart));
  }
  return session;
}

std::string topicsAnswer(const std::vector<std::pair<int, std::string>>& marks) {
  nlohmann::json list = nlohmann::json::array();
  for (const auto& [n, title] : marks) list.push_back({{"n", n}, {"title", title}});
  return nlohmann::json{{"topics", list}}.dump();
}

std::string summaryAnswer(const std::string& point, const std::string& decision = "") {
  nlohmann::json decisions = nlohmann::json::array();
  if (!decision.empty()) decisions.push_back(decision);
  return nlohmann::json{{"points", {point}}, {"decisions", decisions}}.dump();
}

std::vector<std::string> titlesOf(const std::optional<std::vector<TopicTag>>& topics) {
  std::vector<std::string> titles;
  for (const TopicTag& topic : topics.value_or(std::vector<TopicTag>{})) titles.push_back(topic.title);
  return titles;
}

// The conversation model over a temporary root with the real store and log, the loopback
// language model (available), a hand-driven clock and an in-memory clipboard. Boundary requests
// are answered by `boundaryAnswers` in turn, summary requests with a point naming the first
// sentence of the topic; `holdSummaries` keeps summary answers until the fake is released.
class MinutesJobTest : public testing::ModelRequestFixture {
 protected:
  MinutesJobTest() {
    QLocale::setDefault(QLocale("ja_JP"));
    model_->refreshAvailability();
    fake_.setScript([this](const LanguageModelFake::Request& request) {
      std::scoped_lock lock(scriptMutex_);
      if (request.system == MinutesMaker::kBoundaryInstructions) {
        const std::size_t at = boundaryRequests_++;
        return LanguageModelFake::content(at < boundaryAnswers.size() ? boundaryAnswers[at] : topicsAnswer({}));
      }
      const std::string head = "文字起こし：\n";
      const std::size_t from = request.user.find(head) + head.size();
      const std::string first = request.user.substr(from, request.user.find('\n', from) - from);
      LanguageModelFake::Answer answer = LanguageModelFake::content(summaryAnswer("要点 " + first, "決定 " + first));
      answer.held = holdSummaries;
      return answer;
    });
  }

  ~MinutesJobTest() override {
    fake_.release();
    if (live_) testsupport::processEventsUntil([&] { return live_->jobs().empty(); });
    live_.reset();
    QCoreApplication::processEvents();
  }

  SessionStore store() const { return SessionStore::inFolder(root_.path()); }

  VoiceSession stored(VoiceSession session) {
    store().save(session);
    return session;
  }

  TestModel& live() {
    if (!live_) {
      LiveModelServices services;
      services.clock = clock_;
      services.clipboard = clipboard_;
      services.languageModel = languageModel;
      live_ = std::make_unique<TestModel>(root_.path(), services);
      QCoreApplication::processEvents();
    }
    return *live_;
  }



  bool finishes(const QUuid& id) {
    return testsupport::processEventsUntil([&] { return !live().jobs().count(id) && !live().minutesJobs().contains(id); });
  }

  std::optional<VoiceSession> onDisk(const QUuid& id) const {
    const fs::path file = store().conversationFile(id);
    if (!fs::is_regular_file(file)) return std::nullopt;
    return VoiceSession::fromJsonText(platform::readFile(file));
  }

  std::size_t summaryRequests() const {
    std::size_t count = 0;
    for (const auto& request : fake_.requests()) count += request.system == MinutesMaker::kSummaryInstructions;
    return count;
  }

  std::vector<std::string> boundaryAnswers;
  std::atomic<bool> holdSummaries = false;
  std::shared_ptr<platform::SystemLanguageModel> languageModel = model_;
  testsupport::TemporaryFolder root_;
  std::shared_ptr<testsupport::ManualClock> clock_ = std::make_shared<testsupport::ManualClock>();
  std::shared_ptr<testsupport::MemoryClipboard> clipboard_ = std::make_shared<testsupport::MemoryClipboard>();
  std::unique_ptr<TestModel> live_;

 private:
  std::mutex scriptMutex_;
  std::size_t boundaryRequests_ = 0;
};

// ---- Starting -----------------------------------------------------------------------------------

TEST_F(MinutesJobTest, UnavailableModelShowsTheTextForItsReasonAndStartsNothing) {
  struct Case {
    const char* name;
    std::string url;
    std::string notice;
  };
  const Case cases[] = {
      {"no server configured", "", kNotEnabled},
      {"address that is no http address", "ftp://127.0.0.1/", kOther},
      {"server answering 503", fake_.url(), kNotReady},
  };
  const VoiceSession session = stored(conversation("会議", 3));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::LanguageModelConfiguration configuration = fake_.configuration();
    configuration.url = c.url;
    fake_.setProbeAnswer(503);
    languageModel = std::make_shared<platform::SystemLanguageModel>(configuration);
    languageModel->refreshAvailability();
    live_.reset();
    live().makeMinutes(session.id);
    ASSERT_TRUE(live().notice());
    EXPECT_EQ(live().notice()->text, c.notice);
    EXPECT_EQ(live().notice()->action, std::nullopt);
    EXPECT_THAT(live().jobs(), IsEmpty());
    EXPECT_TRUE(live().minutesJobs().empty());
  }
  EXPECT_THAT(fake_.requests(), IsEmpty());
}

TEST_F(MinutesJobTest, RefusedCallsChangeNothingAndSayNothing) {
  const VoiceSession recorded = stored(conversation("録音中", 3));
  struct Case {
    const char* name;
    QUuid id;
  };
  const Case cases[] = {{"conversation being recorded", recorded.id}, {"unknown id", QUuid::createUuid()}};
  live().setLiveID(recorded.id);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QSignalSpy jobs(&live(), &LiveModel::jobsChanged);
    live().makeMinutes(c.id);
    EXPECT_EQ(jobs.count(), 0);
    EXPECT_EQ(live().notice(), std::nullopt);
    EXPECT_TRUE(live().minutesJobs().empty());
  }
  testsupport::settleEvents();
  EXPECT_THAT(fake_.requests(), IsEmpty());
  EXPECT_EQ(live().session(recorded.id)->topics, std::nullopt);
}

TEST_F(MinutesJobTest, RunsForAStoredConversationWhileAnotherIsRecordedAndASecondCallStartsNothing) {
  const VoiceSession recorded = stored(conversation("録音中", 3));
  const VoiceSession session = stored(conversation("会議", 3));
  boundaryAnswers = {topicsAnswer({{0, "予算"}})};
  live().setLiveID(recorded.id);
  live().makeMinutes(session.id);
  ASSERT_TRUE(live().minutesJobs().contains(session.id));
  const std::uint64_t run = live().minutesJobs().find(session.id)->run;
  live().makeMinutes(session.id);
  EXPECT_EQ(live().minutesJobs().find(session.id)->run, run);
  ASSERT_TRUE(finishes(session.id));
  EXPECT_EQ(fake_.requests().size(), 2u) << "one boundary request and one summary";
  EXPECT_THAT(titlesOf(live().session(session.id)->topics), ElementsAre("予算"));
  EXPECT_EQ(live().session(recorded.id)->topics, std::nullopt);
  EXPECT_EQ(live().notice(), std::nullopt);
}

// ---- The job ------------------------------------------------------------------------------------

TEST_F(MinutesJobTest, ShowsPhaseTextsStoresTopicsAndSummarisesEachInTurn) {
  // Row 0 fills the first chunk; rows 1 to 10 share the second.
  VoiceSession session = conversation("会議", 0);
  session.segments.push_back(sentence("一" + std::string(1299, 'x'), 0));
  for (int i = 1; i <= 10; ++i) session.segments.push_back(sentence("二の" + std::to_string(i) + std::string(50, 'y'), 600 + i, 1));
  session.speakerNames[1] = "佐藤";
  stored(session);
  boundaryAnswers = {topicsAnswer({{0, "予算"}}), topicsAnswer({{1, "日程"}})};

  std::vector<std::string> texts;
  TestModel& model = live();
  QObject::connect(&model, &LiveModel::jobsChanged, [&] {
    const auto it = model.jobs().find(session.id);
    texts.push_back(it == model.jobs().end() ? "(none)" : it->second);
  });
  model.makeMinutes(session.id);
  ASSERT_TRUE(finishes(session.id));

  EXPECT_THAT(texts, ElementsAre("話題を区切っています…", "話題を区切っています… 50%",
                                 "話題を区切っています… 100%", "議事録をまとめています… 1/2",
                                 "議事録をまとめています… 2/2", "(none)"));
  const VoiceSession& now = *model.session(session.id);
  ASSERT_THAT(titlesOf(now.topics), ElementsAre("予算", "日程"));
  EXPECT_EQ((*now.topics)[0].startSegmentID, session.segments[0].id);
  EXPECT_EQ((*now.topics)[1].startSegmentID, session.segments[1].id);
  EXPECT_THAT((*now.topics)[1].points, ElementsAre("要点 佐藤：" + session.segments[1].text));
  EXPECT_THAT((*now.topics)[1].decisions, ElementsAre("決定 佐藤：" + session.segments[1].text));
  EXPECT_THAT((*now.topics)[0].points[0], ::testing::StartsWith("要点 話者A：一"));
  EXPECT_EQ(summaryRequests(), 2u);
}

TEST_F(MinutesJobTest, HeadingsAreSavedAtOnceAndSummariesWithTheDebounce) {
  VoiceSession session = conversation("会議", 30, 10);
  session.topics = std::vector<TopicTag>{TopicTag{QUuid::createUuid(), "古い話題", session.segments[0].id, {"古い"}, {}}};
  stored(session);
  boundaryAnswers = {topicsAnswer({{0, "予算"}, {15, "日程"}})};
  holdSummaries = true;
  live().makeMinutes(session.id);
  ASSERT_TRUE(testsupport::processEventsUntil([&] { return summaryRequests() == 1; }));

  const auto whileHeld = onDisk(session.id);
  ASSERT_TRUE(whileHeld);
  ASSERT_THAT(titlesOf(whileHeld->topics), ElementsAre("予算", "日程"));
  EXPECT_THAT((*whileHeld->topics)[0].points, IsEmpty());
  EXPECT_EQ(live().jobs().at(session.id), "議事録をまとめています… 1/2");

  fake_.release();
  ASSERT_TRUE(finishes(session.id));
  EXPECT_THAT((*onDisk(session.id)->topics)[0].points, IsEmpty()) << "summaries wait for the debounce";
  clock_->advance(LiveModel::kSaveDebounceSeconds);
  const auto settled = onDisk(session.id);
  EXPECT_EQ(settled, *live().session(session.id));
  EXPECT_THAT((*settled->topics)[0].points, ElementsAre("要点 話者A：発言0"));
  EXPECT_THAT((*settled->topics)[1].points, ElementsAre("要点 話者A：発言15"));
}

TEST_F(MinutesJobTest, ConversationWithoutSentencesGetsAnEmptyListAndNoRequest) {
  const VoiceSession session = stored(conversation("空", 0));
  live().makeMinutes(session.id);
  ASSERT_TRUE(finishes(session.id));
  ASSERT_TRUE(live().session(session.id)->topics);
  EXPECT_THAT(*live().session(session.id)->topics, IsEmpty());
  const auto saved = onDisk(session.id);
  ASSERT_TRUE(saved && saved->topics);
  EXPECT_THAT(*saved->topics, IsEmpty());
  EXPECT_THAT(fake_.requests(), IsEmpty());
}

TEST_F(MinutesJobTest, TwoBoundariesAtOneRowGiveTheFirstAnEmptyRangeAndNoRequest) {
  const VoiceSession session = stored(conversation("会議", 12));
  boundaryAnswers = {topicsAnswer({{0, "予算"}, {0, "日程"}})};
  live().makeMinutes(session.id);
  ASSERT_TRUE(finishes(session.id));
  const auto& topics = *live().session(session.id)->topics;
  ASSERT_THAT(titlesOf(topics), ElementsAre("予算", "日程"));
  EXPECT_THAT(topics[0].points, IsEmpty());
  EXPECT_THAT(topics[1].points, ElementsAre("要点 話者A：発言0"));
  EXPECT_EQ(summaryRequests(), 1u);
}

TEST_F(MinutesJobTest, ARenamedTopicKeepsItsTitleAndGetsItsSummary) {
  const VoiceSession session = stored(conversation("会議", 4));
  boundaryAnswers = {topicsAnswer({{0, "予算"}})};
  holdSummaries = true;
  live().makeMinutes(session.id);
  ASSERT_TRUE(testsupport::processEventsUntil([&] { return summaryRequests() == 1; }));
  const QUuid topic = live().session(session.id)->topics->front().id;
  live().renameTopic(session.id, topic, "予算の見直し");
  fake_.release();
  ASSERT_TRUE(finishes(session.id));
  const TopicTag& now = live().session(session.id)->topics->front();
  EXPECT_EQ(now.title, "予算の見直し");
  EXPECT_THAT(now.points, ElementsAre("要点 話者A：発言0"));
}

TEST_F(MinutesJobTest, AConversationDeletedMeanwhileGetsNothingWritten) {
  const VoiceSession session = stored(conversation("会議", 4));
  boundaryAnswers = {topicsAnswer({{0, "予算"}})};
  holdSummaries = true;
  live().makeMinutes(session.id);
  ASSERT_TRUE(testsupport::processEventsUntil([&] { return summaryRequests() == 1; }));
  live().deleteSession(session.id);
  fake_.release();
  ASSERT_TRUE(finishes(session.id));
  clock_->advance(10);
  EXPECT_FALSE(fs::exists(store().conversationFile(session.id)));
  EXPECT_EQ(live().session(session.id), nullptr);
  EXPECT_EQ(live().notice(), std::nullopt);
}

TEST_F(MinutesJobTest, AFailedSaveShowsItsNoticeAndTheJobGoesOn) {
  const VoiceSession session = stored(conversation("会議", 4));
  boundaryAnswers = {topicsAnswer({{0, "予算"}})};
  live();
  fs::remove(store().conversationFile(session.id));
  fs::create_directory(store().conversationFile(session.id));
  live().makeMinutes(session.id);
  ASSERT_TRUE(finishes(session.id));
  ASSERT_TRUE(live().notice());
  EXPECT_THAT(live().notice()->text, ::testing::StartsWith("保存できませんでした: "));
  EXPECT_THAT(live().session(session.id)->topics->front().points, ElementsAre("要点 話者A：発言0"));
}

// ---- Ending -------------------------------------------------------------------------------------

QCoro::Task<> failing(std::exception_ptr error) {
  co_await QCoro::sleepFor(std::chrono::milliseconds(1));
  std::rethrow_exception(error);
}

TEST_F(MinutesJobTest, AFailureIsLoggedAndShownACancellationIsSilentAndBothEntriesGo) {
  const VoiceSession session = stored(conversation("会議", 1));
  const std::string id = LiveModel::idText(session.id);
  struct Case {
    const char* name;
    std::exception_ptr error;
    std::vector<std::string> log;
    std::optional<std::string> notice;
  };
  const Case cases[] = {
      {"failure", std::make_exception_ptr(platform::Error("TestError", "VeltoTest", 7, "壊れた")),
       {"議事録の失敗: 会話 " + id + " TestError VeltoTest#7: 壊れた"},
       "議事録を作れませんでした: 壊れた"},
      {"cancellation", std::make_exception_ptr(platform::CancellationError()), {}, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    live_.reset();
    const std::size_t before = errorLines().size();
    live().startMinutesLike(session.id, failing(c.error));
    ASSERT_TRUE(testsupport::processEventsUntil([&] { return live().jobs().empty(); }));
    std::vector<std::string> lines = errorLines();
    lines.erase(lines.begin(), lines.begin() + static_cast<long>(before));
    if (c.notice) {
      ASSERT_TRUE(live().notice());
      EXPECT_EQ(live().notice()->text, *c.notice);
    } else {
      EXPECT_EQ(live().notice(), std::nullopt);
    }
    EXPECT_EQ(lines, c.log);
    EXPECT_TRUE(live().table.empty());
  }
}

TEST(ConversationJobsTest, AnEndingRunRemovesOnlyItsOwnHandle) {
  const QUuid id = QUuid::createUuid();
  ConversationJobs jobs;
  const auto earlier = jobs.start(id);
  const auto later = jobs.start(id);
  EXPECT_TRUE(earlier.stop.stop_requested()) << "a replaced run is asked to stop";
  EXPECT_FALSE(later.stop.stop_requested());
  EXPECT_FALSE(jobs.finish(id, earlier.run));
  EXPECT_TRUE(jobs.contains(id));
  jobs.stopAll();
  EXPECT_TRUE(jobs.find(id)->stop.stop_requested());
  EXPECT_TRUE(jobs.finish(id, later.run));
  EXPECT_FALSE(jobs.contains(id));
}

// ---- Progress from other threads ----------------------------------------------------------------

TEST_F(MinutesJobTest, ProgressFromAWorkerReachesTheJobTextOnlyWhileTheJobRuns) {
  const VoiceSession session = stored(conversation("会議", 1));
  live().setJob(session.id, "読んでいます…");
  const auto report = live().jobProgress(session.id, "読んでいます…");
  std::thread([&] { report(0.376); }).join();
  ASSERT_TRUE(testsupport::processEventsUntil([&] { return live().jobs().at(session.id) != "読んでいます…"; }));
  EXPECT_EQ(live().jobs().at(session.id), "読んでいます… 37%");
  live().setJob(session.id, std::nullopt);
  std::thread([&] { report(0.9); }).join();
  testsupport::settleEvents();
  EXPECT_THAT(live().jobs(), IsEmpty());
}

// ---- Merging boundaries -------------------------------------------------------------------------

TEST(MinutesCoarsenTest, KeepsLongOrNewTopicsAndDropsShortOrRepeatedOnes) {
  // 60 rows; row r starts at r * step seconds unless a case says otherwise.
  const auto evenly = [](double step) {
    std::vector<std::optional<double>> starts;
    for (int r = 0; r < 60; ++r) starts.push_back(r * step);
    return starts;
  };
  auto shortThenLong = evenly(1);
  shortThenLong[9] = 5 + 120;  // row 9 starts 120 s after row 5
  auto missingStarts = evenly(100);
  missingStarts[5] = std::nullopt;
  missingStarts[9] = std::nullopt;
  struct Case {
    const char* name;
    std::vector<Boundary> boundaries;
    std::vector<std::optional<double>> starts;
    int count;
    std::vector<int> kept;
  };
  const Case cases[] = {
      {"short span of 5 rows under 120 s is dropped", {{0, "予算"}, {5, "日程"}, {10, "採用"}}, evenly(1), 60, {0, 10}},
      {"short span lasting 120 s is kept", {{0, "予算"}, {5, "日程"}, {10, "採用"}}, shortThenLong, 60, {0, 5, 10}},
      {"ten rows are kept however short", {{0, "予算"}, {5, "日程"}, {15, "採用"}}, evenly(1), 60, {0, 5, 15}},
      {"repeated title is dropped even when long", {{0, "予算"}, {5, "予算"}}, evenly(100), 60, {0}},
      {"similar to the last kept, not the last seen", {{0, "予算"}, {5, "雑談"}, {10, "予算の件"}}, evenly(1), 60, {0}},
      {"missing starts count as 0", {{0, "予算"}, {5, "日程"}, {10, "採用"}}, missingStarts, 60, {0, 10}},
      {"start rows outside the list count as 0", {{0, "予算"}, {5, "日程"}}, {}, 10, {0}},
      {"only boundary at row 0", {{0, "予算"}}, evenly(1), 60, {0}},
      {"two at one row: the first is kept with an empty span", {{0, "予算"}, {0, "日程"}}, evenly(1), 12, {0, 0}},
      {"no boundaries", {}, evenly(1), 60, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<int> kept;
    for (const Boundary& b : LiveModel::coarsen(c.boundaries, c.starts, c.count)) kept.push_back(b.index);
    EXPECT_EQ(kept, c.kept);
  }
}

// ---- Copying ------------------------------------------------------------------------------------

TEST_F(MinutesJobTest, CopyMinutesWritesTitleDateMinutesAndTasks) {
  VoiceSession withBoth = conversation("定例会", 2);
  withBoth.topics = std::vector<TopicTag>{
      TopicTag{QUuid::createUuid(), "予算", withBoth.segments[1].id, {"上限を決めた"}, {"百万円"}}};
  TaskItem root;
  root.title = "見積を送る";
  root.assignee = "佐藤";
  root.done = true;
  TaskItem child;
  child.title = "金額を確認";
  child.due = "金曜";
  child.parentID = root.id;
  withBoth.tasks = std::vector<TaskItem>{root, child};
  VoiceSession tasksOnly = withBoth;
  tasksOnly.id = QUuid::createUuid();
  tasksOnly.topics = std::vector<TopicTag>{TopicTag{QUuid::createUuid(), "予算", withBoth.segments[0].id, {}, {}}};
  VoiceSession neither = conversation("雑談", 1);
  VoiceSession longTitle = conversation(std::string(10000, 'T'), 0);
  const std::string date = "\n\n- 日時: 2026年12月10日 14:05\n\n";
  const std::string taskBlock = "## タスク\n\n- [x] 見積を送る（佐藤）\n  - [ ] 金額を確認（金曜）\n";
  struct Case {
    const char* name;
    VoiceSession session;
    std::string text;
  };
  const Case cases[] = {
      {"minutes and tasks", withBoth,
       "# 定例会" + date + "## 議事録\n\n### 予算（00:10〜）\n\n- 上限を決めた\n- **決定**：百万円\n\n" + taskBlock},
      {"topics without points, with tasks", tasksOnly, "# 定例会" + date + taskBlock},
      {"neither", neither, "# 雑談" + date},
      {"ten thousand character title", longTitle, "# " + longTitle.title + date},
  };
  for (const Case& c : cases) stored(c.session);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    clipboard_->text.reset();
    live().copyMinutes(c.session.id);
    ASSERT_TRUE(clipboard_->text);
    EXPECT_EQ(*clipboard_->text, c.text);
  }
  clipboard_->text.reset();
  live().copyMinutes(QUuid::createUuid());
  EXPECT_EQ(clipboard_->text, std::nullopt);
}

}  // namespace
}  // namespace veltovoice
