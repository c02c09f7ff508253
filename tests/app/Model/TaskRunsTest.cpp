#include "app/Model/LiveModel.h"

#include <QCoreApplication>
#include <QSignalSpy>
#include <QThreadPool>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "app/Processing/MinutesMaker.h"
#include "app/Processing/TaskExtractor.h"
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
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;
using testsupport::LanguageModelFake;
using Found = TaskExtractor::Found;
using Group = TaskExtractor::Group;

const std::string kExtracting = "タスクを抜き出しています…";
const std::string kRegrouping = "タスクをまとめています…";
const std::string kNotEnabled =
    "タスクの抜き出しには言語モデルが必要です。OpenAI 互換のサーバーを VELTOVOICE_LM_URL か設定ファイルの languageModel/url で指定してください。";

class TestModel : public LiveModel {
 public:
  using LiveModel::LiveModel;
  using LiveModel::applyGroups;
  using LiveModel::editSession;
  using LiveModel::insert;
  using LiveModel::setLiveID;
  using LiveModel::transcriptLine;
};

LiveSegment sentence(std::string text, std::optional<double> start, std::optional<int> speaker = 0) {
  LiveSegment segment;
  segment.text = std::move(text);
  segment.start = start;
  segment.speaker = speaker;
  return segment;
}

// `count` user-perceived characters of Japanese text.
std::string characters(std::size_t count, const std::string& character = "あ") {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) text += character;
  return text;
}

TaskItem task(std::string title, std::optional<QUuid> parent = std::nullopt) {
  TaskItem item;
  item.title = std::move(title);
  item.parentID = parent;
  return item;
}

// The list as "title" for a root and "title^parent" for a child, in list order; "?" names a
// parent that is not in the list.
std::vector<std::string> shape(const std::optional<std::vector<TaskItem>>& tasks) {
  std::vector<std::string> lines;
  std::map<QUuid, std::string> titles;
  for (const TaskItem& item : tasks.value_or(std::vector<TaskItem>{})) titles[item.id] = item.title;
  for (const TaskItem& item : tasks.value_or(std::vector<TaskItem>{})) {
    std::string line = item.title;
    if (item.parentID) line += "^" + (titles.count(*item.parentID) ? titles[*item.parentID] : "?");
    lines.push_back(line);
  }
  return lines;
}

std::string itemsAnswer(const std::vector<Found>& items) {
  nlohmann::json list = nlohmann::json::array();
  for (const Found& item : items) {
    list.push_back({{"title", item.title},
                    {"assignee", item.assignee},
                    {"due", item.due},
                    {"time", item.time},
                    {"parent", item.parent}});
  }
  return nlohmann::json{{"items", list}}.dump();
}

std::string groupsAnswer(const std::vector<Group>& groups) {
  nlohmann::json list = nlohmann::json::array();
  for (const Group& group : groups) list.push_back({{"title", group.title}, {"members", group.members}});
  return nlohmann::json{{"groups", list}}.dump();
}

// The transcript part of an extraction prompt, as lines.
std::vector<std::string> transcriptOf(const std::string& prompt) {
  const std::string head = "文字起こし：\n";
  std::vector<std::string> lines;
  std::size_t at = prompt.find(head);
  if (at == std::string::npos) return lines;
  at += head.size();
  // The schema follows after a blank line.
  const std::size_t last = std::min(prompt.find("\n\n", at), prompt.size());
  while (at <= last) {
    const std::size_t end = std::min(prompt.find('\n', at), last);
    lines.push_back(prompt.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

// Holds the answers of a test's script until the test opens it; opening is not for good, unlike
// the fake's release(), so a test may hold answers more than once.
class Gate {
 public:
  void close() {
    std::scoped_lock lock(mutex_);
    open_ = false;
  }
  void open() {
    {
      std::scoped_lock lock(mutex_);
      open_ = true;
    }
    changed_.notify_all();
  }
  // Blocks the calling server thread until open (at most a minute, so a fault cannot hang).
  LanguageModelFake::Answer hold(LanguageModelFake::Answer answer) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(60), [this] { return open_; });
    return answer;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
};

// The conversation model over a temporary root with the real store and log, the loopback language
// model (available) and a hand-driven clock. Extraction requests are answered by `extraction`
// (no items by default), grouping requests by `grouping`, topic requests with no topics.
class TaskRunsTest : public testing::ModelRequestFixture {
 protected:
  using Script = std::function<LanguageModelFake::Answer(const LanguageModelFake::Request&)>;

  TaskRunsTest() {
    model_->refreshAvailability();
    fake_.setScript([this](const LanguageModelFake::Request& request) {
      std::scoped_lock lock(scriptMutex_);
      if (request.system == TaskExtractor::kExtractionInstructions && extraction) return extraction(request);
      if (request.system == TaskExtractor::kGroupingInstructions && grouping) return grouping(request);
      if (request.system == MinutesMaker::kBoundaryInstructions) {
        return LanguageModelFake::content(R"({"topics":[]})");
      }
      return LanguageModelFake::content(R"({"items":[]})");
    });
  }

  ~TaskRunsTest() override {
    gate.open();
    if (live_) testsupport::processEventsUntil([&] { return idle(); });
    live_.reset();
    QCoreApplication::processEvents();
  }

  void setExtraction(Script script) {
    std::scoped_lock lock(scriptMutex_);
    extraction = std::move(script);
  }
  void setGrouping(Script script) {
    std::scoped_lock lock(scriptMutex_);
    grouping = std::move(script);
  }

  SessionStore store() const { return SessionStore::inFolder(root_.path()); }

  // A finished conversation stored on disk; `topics` empty so that no minutes are asked for.
  VoiceSession stored(std::vector<LiveSegment> segments, std::vector<TaskItem> tasks = {},
                      std::optional<std::vector<TopicTag>> topics = std::vector<TopicTag>{}) {
    VoiceSession session;
    session.title = "会議";
    session.segments = std::move(segments);
    if (!tasks.empty()) session.tasks = std::move(tasks);
    session.topics = std::move(topics);
    store().save(session);
    return session;
  }

  TestModel& live() {
    if (!live_) {
      LiveModelServices services;
      services.clock = clock_;
      services.languageModel = languageModel;
      live_ = std::make_unique<TestModel>(root_.path(), services);
      QCoreApplication::processEvents();
    }
    return *live_;
  }

  bool idle() const {
    return live_->jobs().empty() && live_->taskJobs().empty() && live_->minutesJobs().empty();
  }
  bool finishes() {
    return testsupport::processEventsUntil([&] { return idle(); });
  }

  std::optional<VoiceSession> onDisk(const QUuid& id) const {
    const fs::path file = store().conversationFile(id);
    if (!fs::is_regular_file(file)) return std::nullopt;
    return VoiceSession::fromJsonText(platform::readFile(file));
  }

  // The user messages of the requests sent with `instructions`, in order.
  std::vector<std::string> prompts(const char* instructions) const {
    std::vector<std::string> users;
    for (const auto& request : fake_.requests()) {
      if (request.system == instructions) users.push_back(request.user);
    }
    return users;
  }
  std::vector<std::string> extractionPrompts() const { return prompts(TaskExtractor::kExtractionInstructions); }

  // Runs the event loop until the server has seen `count` requests.
  bool arrived(std::size_t count) {
    return testsupport::processEventsUntil([&] { return fake_.requests().size() >= count; });
  }

  // Appends a sentence to the conversation, as a live result would.
  void append(const QUuid& id, LiveSegment segment) {
    live().editSession(id, [&](VoiceSession& s) { s.segments.push_back(std::move(segment)); });
  }

  // Waits until every language-model request has been answered or cancelled on the client side,
  // then lets the coroutines that awaited them run on.
  void drainWorkers(int keep = 0) {
    ASSERT_TRUE(testsupport::processEventsUntil(
        [&] { return QThreadPool::globalInstance()->activeThreadCount() <= keep; }));
    testsupport::settleEvents();
  }

  Script extraction;
  Script grouping;
  Gate gate;
  std::shared_ptr<platform::SystemLanguageModel> languageModel = model_;
  testsupport::TemporaryFolder root_;
  std::shared_ptr<testsupport::ManualClock> clock_ = std::make_shared<testsupport::ManualClock>();
  std::unique_ptr<TestModel> live_;

 private:
  std::mutex scriptMutex_;
};

// ---- The incremental road -------------------------------------------------------------------------

TEST_F(TaskRunsTest, WhileRecordingTheNewestWaitsAndOnlyMoreThan399CharactersStartARun) {
  struct Case {
    const char* name;
    std::vector<std::size_t> lengths;
    std::size_t scanned;  // sentences sent; 0: no run
  };
  const Case cases[] = {
      {"350 characters without the newest", {150, 200, 100}, 0},
      {"a single sentence waits as the newest", {1000}, 0},
      {"399 characters are not enough", {199, 200, 5}, 0},
      {"a fourth sentence makes 450", {150, 200, 100, 10}, 3},
      {"400 characters are", {200, 200, 1}, 2},
  };
  setExtraction([this](const LanguageModelFake::Request&) {
    return gate.hold(LanguageModelFake::content(itemsAnswer({})));
  });
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    live_.reset();
    gate.close();
    std::vector<LiveSegment> segments;
    for (std::size_t i = 0; i < c.lengths.size(); ++i) {
      segments.push_back(sentence(characters(c.lengths[i]), 10.0 * static_cast<double>(i)));
    }
    const VoiceSession session = stored(segments);
    const std::size_t before = fake_.requests().size();
    live().setLiveID(session.id);
    live().extractTasksIfNeeded(session.id, true);
    if (c.scanned == 0) {
      EXPECT_FALSE(live().taskJobs().contains(session.id));
      continue;
    }
    ASSERT_TRUE(live().taskJobs().contains(session.id));
    EXPECT_THAT(live().jobs(), IsEmpty()) << "the conversation being recorded shows no extraction text";
    ASSERT_TRUE(arrived(before + 1));
    const std::vector<std::string> sent = transcriptOf(extractionPrompts().back());
    ASSERT_EQ(sent.size(), c.scanned) << "no context, the newest left out";
    for (std::size_t i = 0; i < c.scanned; ++i) {
      EXPECT_EQ(sent[i], live().transcriptLine(session, session.segments[i]));
    }
    gate.open();
    ASSERT_TRUE(finishes());
    EXPECT_EQ(live().session(session.id)->tasksScannedThrough, 10.0 * static_cast<double>(c.scanned - 1));
  }
  testsupport::settleEvents();
  EXPECT_EQ(extractionPrompts().size(), 2u);
}

TEST_F(TaskRunsTest, StopRoadScansEverythingAndTasksArriveBatchByBatch) {
  // Two sentences of 700 characters fill two chunks; the second chunk's answer is held.
  const VoiceSession session = stored({sentence(characters(700), 12.0), sentence(characters(700, "い"), 40.5)});
  std::atomic<int> requests = 0;
  setExtraction([&](const LanguageModelFake::Request&) {
    if (requests++ == 0) return LanguageModelFake::content(itemsAnswer({{"見積書を送る", "話者A", "金曜まで", "00:12", ""}}));
    return gate.hold(LanguageModelFake::content(itemsAnswer({{"請求書を直す", "", "", "00:40", ""}})));
  });
  live().extractTasksIfNeeded(session.id, false);
  EXPECT_EQ(live().jobs().at(session.id), kExtracting);
  ASSERT_TRUE(arrived(2));
  ASSERT_TRUE(testsupport::processEventsUntil([&] { return live().session(session.id)->tasks.has_value(); }));
  EXPECT_THAT(shape(live().session(session.id)->tasks), ElementsAre("見積書を送る"));
  EXPECT_TRUE(live().taskJobs().contains(session.id)) << "the first batch arrives while the run goes on";
  EXPECT_EQ(live().session(session.id)->tasksScannedThrough, std::nullopt) << "the point moves at the end";

  gate.open();
  ASSERT_TRUE(finishes());
  const VoiceSession done = *live().session(session.id);
  EXPECT_THAT(shape(done.tasks), ElementsAre("見積書を送る", "請求書を直す"));
  const TaskItem& first = done.tasks->front();
  EXPECT_EQ(first.assignee, "話者A");
  EXPECT_EQ(first.due, "金曜まで");
  EXPECT_EQ(first.sourceStart, 12.0);
  EXPECT_FALSE(first.manual);
  EXPECT_FALSE(first.done);
  EXPECT_EQ(done.tasksScannedThrough, 40.5);
  EXPECT_EQ(onDisk(session.id)->tasks, std::nullopt) << "the save waits for the debounce";
  clock_->advance(LiveModel::kSaveDebounceSeconds);
  ASSERT_TRUE(testsupport::processEventsUntil([&] { return onDisk(session.id)->tasks.has_value(); }));
  EXPECT_EQ(onDisk(session.id)->tasks, done.tasks);
  EXPECT_EQ(onDisk(session.id)->tasksScannedThrough, 40.5);
  EXPECT_EQ(live().notice(), std::nullopt);
}

TEST_F(TaskRunsTest, ScannedPointNeverMovesBackAndTheNextRunSendsTheLastThreeAsContext) {
  VoiceSession session = stored({sentence("最初", 3.0), sentence("見積もり", 12.0, 1), sentence("請求", 40.5),
                                 sentence("契約", 61.0, std::nullopt)});
  setExtraction([this](const LanguageModelFake::Request&) {
    return gate.hold(LanguageModelFake::content(itemsAnswer({})));
  });
  live().extractTasksIfNeeded(session.id, false);
  ASSERT_TRUE(arrived(1));
  EXPECT_EQ(transcriptOf(extractionPrompts()[0]).size(), 4u);
  // Something moved the point further meanwhile: the run's 61.0 must not pull it back.
  live().editSession(session.id, [](VoiceSession& s) { s.tasksScannedThrough = 500; });
  gate.open();
  ASSERT_TRUE(finishes());
  EXPECT_EQ(live().session(session.id)->tasksScannedThrough, 500);

  live().editSession(session.id, [](VoiceSession& s) { s.tasksScannedThrough = 61.0; });
  append(session.id, sentence("納期", 70.0));
  live().extractTasksIfNeeded(session.id, false);
  ASSERT_TRUE(finishes());
  ASSERT_EQ(extractionPrompts().size(), 2u);
  session = *live().session(session.id);
  std::vector<std::string> expected;
  for (std::size_t i = 1; i < 5; ++i) expected.push_back(TestModel::transcriptLine(session, session.segments[i]));
  EXPECT_EQ(transcriptOf(extractionPrompts()[1]), expected);
  EXPECT_EQ(session.tasksScannedThrough, 70.0);
}

TEST(TaskRunsLineTest, TranscriptLinesCarryTimeSpeakerAndOneLineOfText) {
  VoiceSession session;
  session.speakerNames[2] = "佐藤";
  struct Case {
    const char* name;
    LiveSegment segment;
    std::string line;
  };
  const Case cases[] = {
      {"time and speaker", sentence("見積書を送ります", 190.4, 0), "[03:10] 話者A：見積書を送ります"},
      {"no speaker", sentence("text", 5.0, std::nullopt), "[00:05] text"},
      {"no start", sentence("了解です", std::nullopt, 1), "[--:--] 話者B：了解です"},
      {"named speaker, line breaks", sentence("一行目\n二行目\n", 3725, 2), "[1:02:05] 佐藤：一行目 二行目 "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(TestModel::transcriptLine(session, c.segment), c.line);
  }
}

// ---- The end of a run -------------------------------------------------------------------------------

TEST_F(TaskRunsTest, EndOfARunAsksForMinutesOnlyForAFinishedConversationWithoutTopics) {
  struct Case {
    const char* name;
    std::optional<std::vector<TopicTag>> topics;
    bool recording;
    bool minutes;
  };
  const Case cases[] = {
      {"topics absent", std::nullopt, false, true},
      {"topics an empty list", std::vector<TopicTag>{}, false, false},
      {"being recorded", std::nullopt, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    live_.reset();
    const VoiceSession session = stored({sentence(characters(450), 1.0), sentence("はい", 2.0)}, {}, c.topics);
    const std::size_t extractions = extractionPrompts().size();
    const std::size_t boundaries = prompts(MinutesMaker::kBoundaryInstructions).size();
    if (c.recording) live().setLiveID(session.id);
    live().extractTasksIfNeeded(session.id, c.recording);
    ASSERT_TRUE(finishes());
    EXPECT_EQ(extractionPrompts().size() - extractions, 1u);
    EXPECT_EQ(prompts(MinutesMaker::kBoundaryInstructions).size() - boundaries, c.minutes ? 1u : 0u);
    if (c.minutes) {
      EXPECT_TRUE(live().session(session.id)->topics.has_value()) << "the minutes job ran";
    }
  }
}

TEST_F(TaskRunsTest, EndOfARunRemovesOnlyItsOwnTextAndTakesUpSentencesThatArrivedMeanwhile) {
  const VoiceSession session = stored({sentence("見積書を送ります", 1.0)});
  setExtraction([this](const LanguageModelFake::Request&) {
    return gate.hold(LanguageModelFake::content(itemsAnswer({})));
  });
  live().extractTasksIfNeeded(session.id, false);
  ASSERT_TRUE(arrived(1));
  const std::uint64_t run = live().taskJobs().find(session.id)->run;
  live().extractTasksIfNeeded(session.id, false);
  EXPECT_EQ(live().taskJobs().find(session.id)->run, run) << "a running job's end checks again instead";
  live().setJob(session.id, "議事録をまとめています… 1/2");
  gate.open();
  ASSERT_TRUE(testsupport::processEventsUntil([&] { return live().taskJobs().empty(); }));
  EXPECT_EQ(live().jobs().at(session.id), "議事録をまとめています… 1/2") << "another job's text stays";
  live().setJob(session.id, std::nullopt);
  testsupport::settleEvents();
  EXPECT_EQ(fake_.requests().size(), 1u) << "the second call started nothing and nothing was pending";

  gate.close();
  append(session.id, sentence("再度", 20.0));
  live().extractTasksIfNeeded(session.id, false);
  ASSERT_TRUE(arrived(2));
  append(session.id, sentence("請求書も直します", 30.0));
  gate.open();
  ASSERT_TRUE(testsupport::processEventsUntil([&] { return extractionPrompts().size() == 3; }));
  ASSERT_TRUE(finishes());
  EXPECT_THAT(transcriptOf(extractionPrompts()[2]),
              ElementsAre("[00:01] 話者A：見積書を送ります", "[00:20] 話者A：再度", "[00:30] 話者A：請求書も直します"));
  EXPECT_EQ(live().session(session.id)->tasksScannedThrough, 30.0);
}

TEST_F(TaskRunsTest, SentencesWithoutStartAreScannedOnceNotAfterEveryRun) {
  // Left-over live text becomes a last sentence without times.
  const VoiceSession session = stored({sentence("見積書を送ります", 1.0), sentence("残り", std::nullopt)});
  live().extractTasksIfNeeded(session.id, false);
  ASSERT_TRUE(finishes());
  testsupport::settleEvents();
  ASSERT_EQ(extractionPrompts().size(), 1u) << "the end-of-run check finds nothing pending";
  EXPECT_THAT(transcriptOf(extractionPrompts()[0]), ElementsAre("[00:01] 話者A：見積書を送ります", "[--:--] 話者A：残り"));
  EXPECT_EQ(live().session(session.id)->tasksScannedThrough, 1.0);

  live().extractTasksIfNeeded(session.id, false);
  append(session.id, sentence("追加", std::nullopt));
  live().extractTasksIfNeeded(session.id, false);
  ASSERT_TRUE(finishes());
  testsupport::settleEvents();
  ASSERT_EQ(extractionPrompts().size(), 2u);
  EXPECT_THAT(transcriptOf(extractionPrompts()[1]),
              ElementsAre("[00:01] 話者A：見積書を送ります", "[--:--] 話者A：追加"))
      << "only the new start-less sentence, after the context";
}

// ---- Skips and failures ----------------------------------------------------------------------------

TEST_F(TaskRunsTest, SkippedChunksAreLoggedOneByOneAndSummedUpInOneNotice) {
  // Three chunks of one line each; the model refuses the first and the third.
  const VoiceSession session = stored({sentence(characters(900), 12.0), sentence(characters(900, "い"), 130.0),
                                       sentence(characters(900, "う"), 345.0)});
  std::atomic<int> requests = 0;
  setExtraction([&](const LanguageModelFake::Request&) {
    const int at = requests++;
    if (at == 0) return LanguageModelFake::content("", "content_filter");
    if (at == 2) return LanguageModelFake::error(429, "busy");
    return LanguageModelFake::content(itemsAnswer({{"見積書を送る", "", "", "02:10", ""}}));
  });
  live().extractTasksIfNeeded(session.id, false);
  ASSERT_TRUE(finishes());
  const std::string id = LiveModel::idText(session.id);
  EXPECT_THAT(errorLines(), ElementsAre("タスク抜き出しを飛ばした: 会話 " + id + " 00:12〜00:12 安全フィルター（guardrailViolation）",
                                        "タスク抜き出しを飛ばした: 会話 " + id + " 05:45〜05:45 混雑（rateLimited）"));
  ASSERT_TRUE(live().notice());
  EXPECT_EQ(live().notice()->text,
            "00:12〜00:12、05:45〜05:45 の部分は、言語モデルが応じなかったためタスクを抜き出せませんでした"
            "（安全フィルター（guardrailViolation））。詳しくはヘルプ →「ログを開く」。");
  EXPECT_EQ(live().notice()->action, std::nullopt);
  EXPECT_THAT(shape(live().session(session.id)->tasks), ElementsAre("見積書を送る"));
  EXPECT_EQ(live().session(session.id)->tasks->front().sourceStart, 130.0);
  EXPECT_EQ(live().session(session.id)->tasksScannedThrough, 345.0) << "the point still moves over the whole run";
}

TEST_F(TaskRunsTest, AFailedRunIsLoggedAndShownKeepsItsBatchesAndIsNotRetriedAtOnce) {
  // The second chunk's answer cannot be read: the run fails after its first batch.
  const VoiceSession session = stored({sentence(characters(900), 12.0), sentence(characters(900, "い"), 40.0)});
  std::atomic<int> requests = 0;
  setExtraction([&](const LanguageModelFake::Request&) {
    if (requests++ == 0) return LanguageModelFake::content(itemsAnswer({{"見積書を送る", "", "", "", ""}}));
    return LanguageModelFake::content(R"({"tasks":[]})");
  });
  live().extractTasksIfNeeded(session.id, false);
  ASSERT_TRUE(finishes());
  testsupport::settleEvents();
  EXPECT_EQ(extractionPrompts().size(), 2u) << "no second run over the same sentences";
  const std::vector<std::string> lines = errorLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_THAT(lines[0], HasSubstr("タスク抜き出しの失敗: 会話 " + LiveModel::idText(session.id) + " "));
  ASSERT_TRUE(live().notice());
  EXPECT_THAT(live().notice()->text, HasSubstr("タスクを抜き出せませんでした: "));
  EXPECT_THAT(shape(live().session(session.id)->tasks), ElementsAre("見積書を送る"));
  EXPECT_EQ(live().session(session.id)->tasksScannedThrough, std::nullopt);

  // The next request (here the stop road once more) tries again.
  setExtraction([](const LanguageModelFake::Request&) { return LanguageModelFake::content(itemsAnswer({})); });
  live().extractTasksIfNeeded(session.id, false);
  ASSERT_TRUE(finishes());
  EXPECT_EQ(extractionPrompts().size(), 4u);
  EXPECT_EQ(live().session(session.id)->tasksScannedThrough, 40.0);
}

TEST_F(TaskRunsTest, UnavailableModelKeepsTheIncrementalRoadSilentAndTheRequestsExplainWhy) {
  platform::LanguageModelConfiguration configuration = fake_.configuration();
  configuration.url = "";
  languageModel = std::make_shared<platform::SystemLanguageModel>(configuration);
  languageModel->refreshAvailability();
  const VoiceSession session = stored({sentence("見積書を送ります", 1.0)}, {task("a"), task("b")});
  struct Case {
    const char* name;
    std::function<void()> call;
    std::optional<std::string> notice;
  };
  const Case cases[] = {
      {"incremental", [&] { live().extractTasksIfNeeded(session.id, false); }, std::nullopt},
      {"re-extraction", [&] { live().reextractTasks(session.id); }, kNotEnabled},
      {"regrouping", [&] { live().regroupTasks(session.id); }, kNotEnabled},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    live_.reset();
    c.call();
    EXPECT_EQ(live().notice() ? std::optional(live().notice()->text) : std::nullopt, c.notice);
    EXPECT_TRUE(live().taskJobs().empty());
    EXPECT_THAT(live().jobs(), IsEmpty());
    EXPECT_EQ(live().session(session.id)->tasks->size(), 2u);
  }
  testsupport::settleEvents();
  EXPECT_THAT(fake_.requests(), IsEmpty());
}

// ---- Re-extraction -------------------------------------------------------------------------------

TEST_F(TaskRunsTest, ReextractionKeepsManualAndDoneTasksAndScansFromTheFirstSentence) {
  TaskItem parent = task("保守契約");
  TaskItem manual = task("手で足した", parent.id);
  manual.manual = true;
  TaskItem done = task("終わった");
  done.done = true;
  VoiceSession session = stored({sentence("一", 1.0), sentence("二", 2.0), sentence("三", 3.0)},
                                {parent, manual, task("抜き出した"), done});
  session.tasksScannedThrough = 3.0;
  store().save(session);
  setExtraction([](const LanguageModelFake::Request&) {
    return LanguageModelFake::content(itemsAnswer({{"新しい", "", "", "00:02", ""}}));
  });
  live().reextractTasks(session.id);
  EXPECT_EQ(live().jobs().at(session.id), kExtracting);
  EXPECT_EQ(live().session(session.id)->tasksScannedThrough, std::nullopt);
  EXPECT_THAT(shape(live().session(session.id)->tasks), ElementsAre("手で足した^?", "終わった"))
      << "a kept task keeps the id of its dropped parent";
  ASSERT_TRUE(finishes());
  EXPECT_THAT(transcriptOf(extractionPrompts().at(0)),
              ElementsAre("[00:01] 話者A：一", "[00:02] 話者A：二", "[00:03] 話者A：三"));
  EXPECT_THAT(shape(live().session(session.id)->tasks), ElementsAre("手で足した^?", "終わった", "新しい"));
  EXPECT_EQ(live().session(session.id)->tasksScannedThrough, 3.0);
  live().reextractTasks(QUuid::createUuid());
  EXPECT_TRUE(live().taskJobs().empty()) << "an unknown id starts nothing";
}

TEST_F(TaskRunsTest, ReextractionCancelsTheRunningJobWhoseEndLeavesTheNewRunAlone) {
  struct Case {
    const char* name;
    bool regrouping;
  };
  const Case cases[] = {{"extraction", false}, {"regrouping", true}};
  std::atomic<bool> replaced = false;
  setExtraction([&](const LanguageModelFake::Request&) {
    return gate.hold(LanguageModelFake::content(itemsAnswer({{replaced ? "新しい答え" : "古い答え", "", "", "", ""}})));
  });
  setGrouping([&](const LanguageModelFake::Request&) {
    return gate.hold(LanguageModelFake::content(groupsAnswer({{"書類", {0, 1}}})));
  });
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    live_.reset();
    gate.close();
    replaced = false;
    const VoiceSession session = stored({sentence("見積書を送ります", 1.0), sentence("はい", 2.0)},
                                        {task("見積書"), task("請求書")});
    const std::size_t before = fake_.requests().size();
    if (c.regrouping) live().regroupTasks(session.id);
    else live().extractTasksIfNeeded(session.id, false);
    ASSERT_TRUE(arrived(before + 1));
    const std::uint64_t first = live().taskJobs().find(session.id)->run;

    replaced = true;
    live().reextractTasks(session.id);
    ASSERT_TRUE(live().taskJobs().contains(session.id));
    const std::uint64_t second = live().taskJobs().find(session.id)->run;
    EXPECT_NE(second, first);
    ASSERT_TRUE(arrived(before + 2));
    // The cancelled request ends on the client side while the new one is still held.
    drainWorkers(1);
    ASSERT_TRUE(live().taskJobs().contains(session.id));
    EXPECT_EQ(live().taskJobs().find(session.id)->run, second);
    EXPECT_EQ(live().jobs().at(session.id), kExtracting);
    EXPECT_EQ(fake_.requests().size(), before + 2) << "no third run beside the new one";

    gate.open();
    ASSERT_TRUE(finishes());
    EXPECT_THAT(shape(live().session(session.id)->tasks), ElementsAre("新しい答え"));
    EXPECT_EQ(live().notice(), std::nullopt) << "cancellation is silent";
  }
  EXPECT_THAT(errorLines(), IsEmpty());
}

// ---- Adding found items -----------------------------------------------------------------------------

TEST(TaskRunsInsertTest, FoundItemsGoUnderSimilarOrNewParents) {
  struct Case {
    const char* name;
    std::vector<std::string> before;  // "title" or "title^parent"
    std::vector<Found> found;
    std::vector<std::string> after;
  };
  const Case cases[] = {
      {"no parent", {"既存"}, {{"見積書を送る", "", "", "", ""}}, {"既存", "見積書を送る"}},
      {"parent equal to the title", {}, {{"保守契約", "", "", "", "保守契約"}}, {"保守契約"}},
      {"parent of blanks only", {}, {{"見積書を送る", "", "", "", " \t　"}}, {"見積書を送る"}},
      {"under an existing parent by containment, after its subtree",
       {"保守契約の更新", "担当を決める^保守契約の更新", "別件"},
       {{"見積書を送る", "", "", "", "保守契約"}},
       {"保守契約の更新", "担当を決める^保守契約の更新", "見積書を送る^保守契約の更新", "別件"}},
      {"a new parent first when nothing is similar",
       {"別件"},
       {{"見積書を送る", "", "", "", "  保守契約\t"}},
       {"別件", "保守契約", "見積書を送る^保守契約"}},
      {"two items of one batch share the new parent",
       {},
       {{"見積書を送る", "", "", "", "保守契約"}, {"請求書を直す", "", "", "", "保守契約"}},
       {"保守契約", "見積書を送る^保守契約", "請求書を直す^保守契約"}},
      {"parent caught in a cycle",
       {"保守契約^輪", "輪^保守契約"},
       {{"見積書を送る", "", "", "", "保守契約"}},
       {"保守契約^輪", "輪^保守契約", "見積書を送る^保守契約"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::map<std::string, QUuid> ids;
    const auto idOf = [&](const std::string& title) { return ids.try_emplace(title, QUuid::createUuid()).first->second; };
    VoiceSession session;
    if (!c.before.empty()) session.tasks.emplace();
    for (const std::string& line : c.before) {
      const auto caret = line.find('^');
      TaskItem item = task(line.substr(0, caret));
      item.id = idOf(item.title);
      if (caret != std::string::npos) item.parentID = idOf(line.substr(caret + 1));
      item.manual = true;
      session.tasks->push_back(item);
    }
    TestModel::insert(c.found, session);
    EXPECT_EQ(shape(session.tasks), c.after);
    for (const TaskItem& item : *session.tasks) {
      if (ids.count(item.title)) continue;
      EXPECT_FALSE(item.manual);
      EXPECT_FALSE(item.done);
      EXPECT_EQ(item.collapsed, std::nullopt);
    }
  }
}

TEST(TaskRunsInsertTest, FieldsAndSourceTimesComeFromTheItem) {
  struct Case {
    const char* time;
    std::optional<double> sourceStart;
  };
  const Case cases[] = {{"05:07", 307}, {"", std::nullopt}, {"あと:で", std::nullopt}, {"1:02:03", 3723}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.time);
    VoiceSession session;
    TestModel::insert({{" 見積書を送る ", "佐藤", "来週火曜", c.time, ""}}, session);
    ASSERT_TRUE(session.tasks);
    ASSERT_EQ(session.tasks->size(), 1u);
    const TaskItem& made = session.tasks->front();
    EXPECT_EQ(made.title, " 見積書を送る ") << "the title as found";
    EXPECT_EQ(made.assignee, "佐藤");
    EXPECT_EQ(made.due, "来週火曜");
    EXPECT_EQ(made.sourceStart, c.sourceStart);
    EXPECT_EQ(made.parentID, std::nullopt);
  }
  VoiceSession empty;
  TestModel::insert({}, empty);
  EXPECT_EQ(empty.tasks, std::vector<TaskItem>{}) << "an absent list is written back as a list";
}

TEST_F(TaskRunsTest, ADeletedConversationDropsItsBatchesAndAGoneModelIsLeftAlone) {
  const VoiceSession session = stored({sentence(characters(900), 1.0), sentence(characters(900, "い"), 2.0)});
  std::atomic<int> requests = 0;
  setExtraction([&](const LanguageModelFake::Request&) {
    LanguageModelFake::Answer answer = LanguageModelFake::content(itemsAnswer({{"見積書を送る", "", "", "", ""}}));
    return requests++ == 0 ? gate.hold(answer) : answer;
  });
  live().extractTasksIfNeeded(session.id, false);
  ASSERT_TRUE(arrived(1));
  live().deleteSession(session.id);
  gate.open();
  ASSERT_TRUE(finishes());
  EXPECT_EQ(live().session(session.id), nullptr);
  clock_->advance(LiveModel::kSaveDebounceSeconds);
  testsupport::settleEvents();
  EXPECT_FALSE(fs::exists(store().conversationFile(session.id))) << "no save brings it back";

  // The model goes while its run waits for an answer.
  gate.close();
  requests = 0;
  const VoiceSession other = stored({sentence("見積書を送ります", 1.0)});
  live_.reset();
  const std::size_t before = fake_.requests().size();
  live().extractTasksIfNeeded(other.id, false);
  ASSERT_TRUE(arrived(before + 1));
  live_.reset();
  gate.open();
  drainWorkers();
  EXPECT_EQ(onDisk(other.id)->tasks, std::nullopt);
}

// ---- Regrouping -------------------------------------------------------------------------------------

TEST_F(TaskRunsTest, RegroupingMovesLeavesUnderFoundOrNewParentsAndDropsEmptiedAutomaticOnes) {
  // Leaves, the candidates: 0 見積書を送る, 1 請求書を直す, 2 議事録を配る, 3 手で足した親 (manual,
  // without children), 4 納品する, 5 保守契約の件 (similar to a group's title, but a candidate).
  TaskItem oldParent = task("古いまとめ");
  TaskItem manualParent = task("手の親");
  manualParent.manual = true;
  TaskItem timedParent = task("時刻付きの親");
  timedParent.sourceStart = 30;
  TaskItem emptyManual = task("手で足した親");
  emptyManual.manual = true;
  const VoiceSession session = stored(
      {sentence("一", 1.0)},
      {oldParent, task("見積書を送る", oldParent.id), manualParent, task("請求書を直す", manualParent.id),
       timedParent, task("議事録を配る", timedParent.id), emptyManual, task("納品する"), task("保守契約の件")});
  setGrouping([](const LanguageModelFake::Request&) {
    return LanguageModelFake::content(
        groupsAnswer({{"保守契約", {0, 1, 2}}, {"空のまとめ", {}}, {"納品", {4, 2}}, {"時刻付き", {3}}}));
  });
  live().regroupTasks(session.id);
  EXPECT_EQ(live().jobs().at(session.id), kRegrouping);
  ASSERT_TRUE(finishes());
  ASSERT_EQ(prompts(TaskExtractor::kGroupingInstructions).size(), 1u);
  EXPECT_THAT(prompts(TaskExtractor::kGroupingInstructions)[0],
              StartsWith("タスク一覧：\n0: 見積書を送る\n1: 請求書を直す\n2: 議事録を配る\n3: 手で足した親\n4: 納品する\n"
                         "5: 保守契約の件\n\n"));
  EXPECT_THAT(shape(live().session(session.id)->tasks),
              ElementsAre("手の親", "時刻付きの親", "手で足した親^時刻付きの親", "保守契約の件", "保守契約",
                          "見積書を送る^保守契約", "請求書を直す^保守契約", "納品", "納品する^納品", "議事録を配る^納品"));
  EXPECT_EQ(live().notice(), std::nullopt);
  clock_->advance(LiveModel::kSaveDebounceSeconds);
  ASSERT_TRUE(testsupport::processEventsUntil(
      [&] { return onDisk(session.id)->tasks == live().session(session.id)->tasks; }));
}

TEST(TaskRunsGroupTest, AMovedTaskNeverEndsUnderItsOwnSubtree) {
  // After the first group 見積書 is no longer equal to its candidate and may head a group; the
  // third group would then put 見積書 under 請求書, its own child.
  std::vector<TaskItem> tasks = {task("見積書"), task("請求書")};
  const std::vector<TaskItem> candidates = tasks;
  TestModel::applyGroups({{"書類", {0}}, {"見積書", {1}}, {"請求書", {0}}}, candidates, candidates, tasks);
  EXPECT_THAT(shape(tasks), ElementsAre("書類", "見積書^書類", "請求書^見積書"));
  EXPECT_FALSE(LiveModel::isDescendant(tasks[1].id, tasks[1].id, tasks));
}

TEST_F(TaskRunsTest, RegroupingNeedsTwoLeavesAndOneJobAtATime) {
  TaskItem parent = task("保守契約");
  struct Case {
    const char* name;
    std::vector<TaskItem> tasks;
  };
  const Case cases[] = {
      {"no tasks", {}},
      {"one parent with one child", {parent, task("見積書を送る", parent.id)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    live_.reset();
    const VoiceSession session = stored({sentence("一", 1.0)}, c.tasks);
    live().regroupTasks(session.id);
    EXPECT_TRUE(live().taskJobs().empty());
    EXPECT_THAT(live().jobs(), IsEmpty());
    EXPECT_EQ(live().notice(), std::nullopt);
  }
  const VoiceSession session = stored({sentence("一", 1.0)}, {task("a"), task("b")});
  live_.reset();
  setGrouping([this](const LanguageModelFake::Request&) {
    return gate.hold(LanguageModelFake::content(groupsAnswer({})));
  });
  live().setLiveID(session.id);
  live().regroupTasks(session.id);
  EXPECT_EQ(live().jobs().at(session.id), kRegrouping) << "also while recording";
  ASSERT_TRUE(arrived(1));
  live().regroupTasks(session.id);
  live().extractTasksIfNeeded(session.id, false);
  gate.open();
  ASSERT_TRUE(finishes());
  testsupport::settleEvents();
  EXPECT_EQ(fake_.requests().size(), 1u) << "neither a second regrouping nor an extraction beside it";
  EXPECT_THAT(shape(live().session(session.id)->tasks), ElementsAre("a", "b"));
}

TEST_F(TaskRunsTest, AFailedRegroupingIsLoggedAndShownAndItsEndRemovesAnyText) {
  const VoiceSession session = stored({sentence("一", 1.0)}, {task("a"), task("b")});
  setGrouping([this](const LanguageModelFake::Request&) {
    return gate.hold(LanguageModelFake::error(500, "壊れた"));
  });
  live().regroupTasks(session.id);
  ASSERT_TRUE(arrived(1));
  live().setJob(session.id, "議事録をまとめています… 1/2");
  gate.open();
  ASSERT_TRUE(finishes());
  EXPECT_THAT(live().jobs(), IsEmpty()) << "a regrouping's end removes whatever text stands";
  const std::vector<std::string> lines = errorLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_THAT(lines[0], HasSubstr("タスクのまとめ直しの失敗: 会話 " + LiveModel::idText(session.id) + " "));
  ASSERT_TRUE(live().notice());
  EXPECT_THAT(live().notice()->text, HasSubstr("タスクをまとめられませんでした: "));
  EXPECT_THAT(shape(live().session(session.id)->tasks), ElementsAre("a", "b"));
}

}  // namespace
}  // namespace veltovoice
