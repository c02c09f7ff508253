#include "app/Model/LiveModel.h"

#include <condition_variable>
#include <cstring>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <QCoreApplication>
#include <QSignalSpy>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/sys/CancellationError.h"
#include "platform/sys/FileIO.h"
#include "platform/sys/UnavailableError.h"
#include "speech/Shared/AppLogger.h"
#include "tests/app/Processing/ModelRequestFixture.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/EventLoop.h"
#include "tests/support/LanguageModelFake.h"
#include "tests/support/ManualClock.h"
#include "tests/support/ScriptedSpeechBackend.h"
#include "tests/support/SortformerModelBuilder.h"
#include "tests/support/TemporaryFolder.h"

namespace veltovoice {
namespace {

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testsupport::LanguageModelFake;
using Sentence = devadevev::LiveTranscriber::Sentence;
using Turn = devadevev::SpeakerDiarizer::Turn;
using TimeRange = LiveModel::TimeRange;

constexpr double kNoTime = std::numeric_limits<double>::quiet_NaN();

class TestModel : public LiveModel {
 public:
  using LiveModel::LiveModel;
  using LiveModel::setLiveID;

  void extractTasksIfNeeded(const QUuid& id, bool live) override { extractions.emplace_back(id, live); }

  std::vector<std::pair<QUuid, bool>> extractions;
};

LiveSegment sentence(std::string text, double start, double end, std::optional<int> speaker = std::nullopt,
                     bool edited = false) {
  LiveSegment segment;
  segment.text = std::move(text);
  if (!std::isnan(start)) segment.start = start;
  if (!std::isnan(end)) segment.end = end;
  segment.speaker = speaker;
  segment.edited = edited;
  return segment;
}

Sentence heard(std::string text, double start, double end) {
  Sentence s{std::move(text), std::nullopt, std::nullopt};
  if (!std::isnan(start)) s.start = start;
  if (!std::isnan(end)) s.end = end;
  return s;
}

std::vector<std::string> textsOf(const std::vector<LiveSegment>& segments) {
  std::vector<std::string> texts;
  for (const LiveSegment& segment : segments) texts.push_back(segment.text);
  return texts;
}

std::vector<std::optional<int>> speakersOf(const std::vector<LiveSegment>& segments) {
  std::vector<std::optional<int>> speakers;
  for (const LiveSegment& segment : segments) speakers.push_back(segment.speaker);
  return speakers;
}

// Lets a worker wait inside a scripted service until the test releases it.
class Latch {
 public:
  void hold() {
    std::scoped_lock lock(mutex_);
    held_ = true;
  }
  void release() {
    std::scoped_lock lock(mutex_);
    held_ = false;
    changed_.notify_all();
  }
  // Called by the worker.
  void pass() {
    std::unique_lock lock(mutex_);
    waiting_ = held_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return !held_; });
    waiting_ = false;
  }
  bool waiting() {
    std::scoped_lock lock(mutex_);
    return waiting_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool held_ = false;
  bool waiting_ = false;
};

// A file recogniser that reports `progress`, then returns `sentences` or throws `failure`, and
// keeps the ranges it was asked for.
struct ScriptedRecogniser {
  std::mutex mutex;
  std::vector<Sentence> sentences;
  std::exception_ptr failure;
  std::vector<double> progress = {0.5};
  std::vector<std::vector<TimeRange>> calls;
  Latch latch;

  std::vector<Sentence> operator()(const fs::path& file, const std::vector<TimeRange>& ranges,
                                   const std::function<void(double)>& onProgress) {
    {
      std::scoped_lock lock(mutex);
      calls.push_back(ranges);
    }
    EXPECT_TRUE(fs::exists(file));
    latch.pass();
    for (double p : progress) onProgress(p);
    std::scoped_lock lock(mutex);
    if (failure) std::rethrow_exception(failure);
    return sentences;
  }
  std::size_t callCount() {
    std::scoped_lock lock(mutex);
    return calls.size();
  }
};

// A range diarizer that reports 0.4, then returns `turns` or throws `failure`.
struct ScriptedDiarizer {
  std::mutex mutex;
  std::vector<Turn> turns;
  std::exception_ptr failure;
  std::vector<std::vector<TimeRange>> calls;
  std::vector<fs::path> modelFolders;

  std::vector<Turn> operator()(const std::vector<TimeRange>& ranges, const fs::path& models,
                               const std::function<void(double)>& onProgress) {
    std::scoped_lock lock(mutex);
    calls.push_back(ranges);
    modelFolders.push_back(models);
    onProgress(0.4);
    if (failure) std::rethrow_exception(failure);
    return turns;
  }
};

std::vector<int> askedLines(const std::string& prompt) {
  std::vector<int> lines;
  for (std::size_t at = prompt.find("｜"); at != std::string::npos; at = prompt.find("｜", at + 1)) {
    const std::size_t lineStart = prompt.rfind('\n', at);
    const std::size_t from = lineStart == std::string::npos ? 0 : lineStart + 1;
    lines.push_back(std::stoi(prompt.substr(from, at - from)));
  }
  return lines;
}

// The conversation model over a temporary root with the real store and log, real recordings in
// its Audio folder, the loopback language model as judge (choosing B for every line not in
// `keepA`), and the scripted file recogniser and range diarizer.
class RedoJobTest : public testing::ModelRequestFixture {
 public:  // the case tables reach the fixture through a reference
  RedoJobTest() {
    logStart_ = logText().size();
    fake_.setScript([this](const LanguageModelFake::Request& request) {
      nlohmann::json list = nlohmann::json::array();
      std::scoped_lock lock(judgeMutex_);
      for (int n : askedLines(request.user)) list.push_back({{"n", n}, {"choice", keepA_.count(n) ? "A" : "B"}});
      return LanguageModelFake::content(nlohmann::json{{"choices", list}}.dump());
    });
  }

  ~RedoJobTest() override {
    recogniser_->latch.release();
    if (live_) testsupport::processEventsUntil([&] { return live_->jobs().empty(); });
    live_.reset();
    QCoreApplication::processEvents();
  }

  SessionStore store() const { return SessionStore::inFolder(root_.path()); }

  // Stores `session` with a silent recording of `seconds` in the Audio folder.
  VoiceSession stored(VoiceSession session, double seconds = 30) {
    session.title = "定例会議";
    if (seconds > 0) {
      session.audioFile = LiveModel::idText(session.id) + ".m4a";
      recording(session, std::vector<float>(static_cast<std::size_t>(seconds * 8000), 0.0f), 8000);
    }
    store().save(session);
    return session;
  }

  void recording(const VoiceSession& session, const std::vector<float>& samples, double rate) {
    fs::create_directories(store().audioDirectory);
    testsupport::writeAac(*store().audioPath(session), rate, {samples});
  }

  TestModel& live() {
    if (!live_) {
      LiveModelServices services;
      services.clock = std::make_shared<testsupport::ManualClock>();
      services.languageModel = model_;
      if (scriptedRecogniser_) {
        services.transcribeFile = [recogniser = recogniser_](const fs::path& file, const std::vector<TimeRange>& ranges,
                                                             const std::function<void(double)>& onProgress,
                                                             std::stop_token) {
          return (*recogniser)(file, ranges, onProgress);
        };
      }
      if (scriptedDiarizer_) {
        services.diarizeFile = [diarizer = diarizer_](const fs::path&, const std::vector<TimeRange>& ranges,
                                                      const fs::path& models,
                                                      const std::function<void(double)>& onProgress,
                                                      std::stop_token) { return (*diarizer)(ranges, models, onProgress); };
      }
      live_ = std::make_unique<TestModel>(root_.path(), services);
      QCoreApplication::processEvents();
      jobTexts_ = std::make_unique<std::vector<std::string>>();
      QObject::connect(live_.get(), &LiveModel::jobsChanged, [this] {
        for (const auto& [id, text] : live_->jobs()) {
          if (jobTexts_->empty() || jobTexts_->back() != text) jobTexts_->push_back(text);
        }
      });
    }
    return *live_;
  }

  // Runs `start` and waits until the model has no job left.
  void runToEnd(const std::function<void()>& start) {
    start();
    ASSERT_TRUE(testsupport::processEventsUntil([&] { return live().jobs().empty(); }));
  }

  std::optional<VoiceSession> onDisk(const QUuid& id) const {
    const fs::path file = store().conversationFile(id);
    if (!fs::is_regular_file(file)) return std::nullopt;
    return VoiceSession::fromJsonText(platform::readFile(file));
  }

  std::string bytesOnDisk(const QUuid& id) const { return platform::readFile(store().conversationFile(id)); }

  // The messages of the log lines this test wrote, in order, each as "INFO message" or "ERROR message".
  std::vector<std::string> logLines() {
    std::vector<std::string> messages;
    std::istringstream in(logText().substr(logStart_));
    for (std::string line; std::getline(in, line);) {
      for (const char* level : {"INFO", "ERROR"}) {
        const std::string tag = std::string(" [") + level + "] ";
        const auto at = line.find(tag);
        if (at == std::string::npos) continue;
        const auto message = line.find(' ', at + tag.size());
        messages.push_back(std::string(level) + " " + line.substr(message + 1));
      }
    }
    return messages;
  }

  std::string notice() { return live().notice() ? live().notice()->text : std::string(); }

  void keepA(std::set<int> lines) {
    std::scoped_lock lock(judgeMutex_);
    keepA_ = std::move(lines);
  }

  testsupport::TemporaryFolder root_;
  std::shared_ptr<ScriptedRecogniser> recogniser_ = std::make_shared<ScriptedRecogniser>();
  std::shared_ptr<ScriptedDiarizer> diarizer_ = std::make_shared<ScriptedDiarizer>();
  bool scriptedRecogniser_ = true;
  bool scriptedDiarizer_ = true;
  std::unique_ptr<TestModel> live_;
  std::unique_ptr<std::vector<std::string>> jobTexts_;

 private:
  static std::string logText() {
    AppLog::flush();
    const char* data = std::getenv("XDG_DATA_HOME");
    std::ifstream in(fs::path(data ? data : "") / "VeltoVoice" / "Logs" / "veltovoice.log", std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::size_t logStart_ = 0;
  std::mutex judgeMutex_;
  std::set<int> keepA_;
};

// ---- The pure helpers ---------------------------------------------------------------------------

TEST(RedoHelpersTest, WithContextWidensAndMerges) {
  struct Case {
    const char* name;
    std::vector<TimeRange> ranges;
    std::vector<TimeRange> widened;
  };
  const Case cases[] = {
      {"two far ranges become one", {{150, 160}, {100, 110}}, {{10, 160}}},
      {"near the start", {{30, 40}}, {{0, 40}}},
      {"apart", {{100, 110}, {300, 310}}, {{10, 110}, {210, 310}}},
      {"touching", {{100, 110}, {200, 210}}, {{10, 210}}},
      {"inside an earlier one", {{100, 200}, {150, 160}}, {{10, 200}}},
      {"none", {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(LiveModel::withContext(c.ranges, 90), c.widened);
  }
}

TEST(RedoHelpersTest, SpeakerMappingTakesLargestOverlapsFirst) {
  struct Case {
    const char* name;
    std::vector<Turn> turns;
    std::vector<LiveSegment> existing;
    std::map<int, int> mapping;
  };
  const Case cases[] = {
      {"12 s and 3 s",
       {{0, 0, 15}, {1, 100, 110}},
       {sentence("a", 0, 12, 2), sentence("b", 12, 15, 0)},
       {{0, 2}, {1, 0}}},
      {"one speaker each, largest first",
       {{0, 0, 10}, {1, 10, 20}},
       {sentence("a", 0, 4, 1), sentence("b", 10, 20, 1), sentence("c", 4, 10, 3)},
       {{1, 1}, {0, 3}}},
      {"no turns", {}, {sentence("a", 0, 4, 1)}, {}},
      {"sentences without speaker, times or length count for nothing",
       {{2, 0, 10}},
       {sentence("a", 0, 4), sentence("b", kNoTime, 4, 1), sentence("c", 5, 5, 1), sentence("d", 6, kNoTime, 1)},
       {{2, 0}}},
      {"all of 0 to 7 taken",
       {{0, 0, 1}, {1, 1, 2}, {2, 2, 3}, {3, 3, 4}, {9, 10, 11}},
       {sentence("a", 0, 1, 0), sentence("b", 1, 2, 1), sentence("c", 2, 3, 2), sentence("d", 3, 4, 3)},
       {{0, 0}, {1, 1}, {2, 2}, {3, 3}, {9, 4}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(LiveModel::speakerMapping(c.turns, c.existing), c.mapping);
  }
  std::vector<Turn> many;
  std::vector<LiveSegment> taken;
  for (int s = 0; s < 8; ++s) {
    many.push_back({s, s * 1.0, s + 1.0});
    taken.push_back(sentence("x", s, s + 1, s));
  }
  many.push_back({11, 50, 51});
  EXPECT_EQ(LiveModel::speakerMapping(many, taken).at(11), 11);
}

TEST(RedoHelpersTest, UncoveredRangesFindGapsAndTail) {
  struct Case {
    const char* name;
    std::vector<LiveSegment> segments;
    double duration;
    std::vector<TimeRange> gaps;
  };
  const Case cases[] = {
      {"gap between, short tail", {sentence("a", 0, 10), sentence("b", 50, 60)}, 62, {{10.3, 49.7}}},
      {"tail only", {sentence("a", 0, 10)}, 100, {{10.3, 100}}},
      {"exactly 30 s counts", {sentence("a", 0, 10), sentence("b", 40, 42)}, 44, {{10.3, 39.7}}},
      {"29.9 s does not", {sentence("a", 0, 10), sentence("b", 39.9, 42)}, 44, {}},
      {"missing end covers 1 s", {sentence("a", 0, kNoTime), sentence("b", 31, 33)}, 35, {{1.3, 30.7}}},
      {"inside a longer one", {sentence("a", 0, 100), sentence("b", 40, 41), sentence("c", 101, 102)}, 104, {}},
      {"unsorted", {sentence("b", 50, 60), sentence("a", 0, 10)}, 60, {{10.3, 49.7}}},
      {"no timed sentences", {sentence("a", kNoTime, kNoTime)}, 20, {{0.3, 20}}},
      {"short recording", {}, 4.9, {}},
      {"5 s tail counts", {}, 5, {{0.3, 5}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto gaps = LiveModel::uncoveredRanges(c.segments, c.duration);
    ASSERT_EQ(gaps.size(), c.gaps.size());
    for (std::size_t i = 0; i < gaps.size(); ++i) {
      EXPECT_NEAR(gaps[i].lowerBound, c.gaps[i].lowerBound, 1e-9);
      EXPECT_NEAR(gaps[i].upperBound, c.gaps[i].upperBound, 1e-9);
    }
  }
}

// ---- The redo -----------------------------------------------------------------------------------

TEST_F(RedoJobTest, RedoComparesReplacesAndAddsSentences) {
  VoiceSession session;
  session.segments = {sentence("こんにちわ", 0, 2, 0),         sentence("予算はじゅうまん", 3, 5, 1),
                      sentence("手で直した", 6, 8, 0, true),   sentence("同じ文。", 9, 10, 1),
                      sentence("時刻なし", kNoTime, kNoTime, 0)};
  session.speakerNames = {{1, "佐藤"}};
  TopicTag budget;
  budget.title = "予算";
  budget.startSegmentID = session.segments[0].id;
  TopicTag schedule;
  schedule.title = "日程";
  schedule.startSegmentID = session.segments[3].id;
  session.topics = std::vector<TopicTag>{budget, schedule};
  session = stored(session, 30);
  recogniser_->sentences = {heard("こんにちは", 0.1, 1.9),       heard("予算は", 3.0, 3.8),
                            heard("10万", 3.9, 4.9),             heard("手で治した", 6.5, 7.5),
                            heard("同じ 「文」", 9.2, 9.8),      heard("追加の発言", 20, 21),
                            heard("終わりのない発言", 24, kNoTime), heard("時刻のない発言", kNoTime, kNoTime)};
  diarizer_->turns = {{0, 0, 2.5}, {1, 19, 22}};
  keepA({1});

  runToEnd([&] { live().redoTranscript(session.id); });

  const VoiceSession& now = *live().session(session.id);
  EXPECT_THAT(textsOf(now.segments), ElementsAre("こんにちは", "予算はじゅうまん", "手で直した", "同じ文。", "追加の発言",
                                                 "終わりのない発言", "時刻なし"));
  // Diarizer slot 0 met speaker 0; slot 1 met nobody and takes the smallest free number.
  EXPECT_EQ(now.segments[4].speaker, 1);
  EXPECT_EQ(now.segments[5].speaker, std::nullopt);
  EXPECT_FALSE(now.segments[4].speakerLocked);
  EXPECT_FALSE(now.segments[4].edited);
  // A replacement changes the text only.
  LiveSegment replaced = session.segments[0];
  replaced.text = "こんにちは";
  EXPECT_EQ(now.segments[0], replaced);
  EXPECT_EQ(now.segmentsBackup, session.segments);
  ASSERT_TRUE(now.duration);
  EXPECT_NEAR(*now.duration, 30, 0.1);
  EXPECT_EQ(onDisk(session.id), now);

  ASSERT_EQ(recogniser_->calls.size(), 1u);
  ASSERT_EQ(recogniser_->calls[0].size(), 1u);
  EXPECT_EQ(recogniser_->calls[0][0].lowerBound, 0);
  EXPECT_EQ(recogniser_->calls[0][0].upperBound, *now.duration);
  // Ranges of the extra sentences ([20, 21] and [24, 25]) with 90 s before them.
  EXPECT_EQ(diarizer_->calls, (std::vector<std::vector<TimeRange>>{{{0, 25}}}));
  EXPECT_EQ(diarizer_->modelFolders, (std::vector<fs::path>{root_.path() / "Models"}));

  const auto requests = fake_.requests();
  ASSERT_EQ(requests.size(), 1u);
  const std::string prompt = requests[0].user.substr(0, requests[0].user.find("\n\nJSON Schema:"));
  EXPECT_EQ(prompt,
            "会話の参考情報：\n話題：予算、日程\n\n"
            "0｜話者A\nA：こんにちわ\nB：こんにちは\n\n"
            "1｜佐藤\nA：予算はじゅうまん\nB：予算は10万");

  const std::string id = LiveModel::idText(session.id);
  EXPECT_THAT(logLines(), Contains("INFO 文字起こしのやり直しを開始: 会話 " + id + " 5文"));
  EXPECT_THAT(logLines(), Contains("INFO 文字起こしのやり直しを完了: 会話 " + id +
                                   " やり直し 8文 比較 2 差し替え 1 追加 2 判定を飛ばした 0"));
  EXPECT_EQ(notice(),
            "文字起こしをやり直しました。2文を見比べて1文を差し替え、抜けていた2文を足しました。"
            "「AIでやり直す」→「やり直す前に戻す」で戻せます。");
  EXPECT_TRUE(live().extractions.empty());
}

TEST_F(RedoJobTest, RedoLaysSentencesOnWidenedSegments) {
  VoiceSession session;
  session.segments = {sentence("甲", 10, 12), sentence("乙", 20, kNoTime), sentence("丙", kNoTime, kNoTime),
                      sentence("丁", 30, 32)};
  session = stored(session, 40);
  recogniser_->sentences = {
      heard("一", 9.5, 10.0),      // middle 9.75: 0.25 s before 甲
      heard("二", 12.0, 12.5),     // middle 12.25: 0.25 s after 甲
      heard("三", 9.0, 9.5),       // middle 9.25: too early for 甲
      heard("四", 20.7, kNoTime),  // middle 21.2: within 乙, whose missing end counts as 21
      heard("五", 21.5, 22.0),     // middle 21.75: after 乙
      heard("六", 29.0, 31.0),     // middle 30: 丁
  };
  diarizer_->turns = {};

  runToEnd([&] { live().redoTranscript(session.id); });

  const VoiceSession& now = *live().session(session.id);
  EXPECT_THAT(textsOf(now.segments), ElementsAre("三", "一二", "四", "五", "六", "丙"));
  EXPECT_EQ(fake_.requests().size(), 1u);
}

TEST_F(RedoJobTest, RedoKeepsChangesMadeWhileItRuns) {
  VoiceSession session;
  session.segments = {sentence("いち", 0, 2, 0), sentence("に", 3, 5, 0), sentence("さん", 6, 8, 0),
                      sentence("よん", 9, 11, 0)};
  session = stored(session, 20);
  recogniser_->sentences = {heard("一", 0, 2), heard("二", 3, 5), heard("三", 6, 8), heard("四", 9, 11),
                            heard("五", 15, 16)};
  recogniser_->latch.hold();
  live().redoTranscript(session.id);
  ASSERT_TRUE(testsupport::processEventsUntil([&] { return recogniser_->latch.waiting(); }));

  live().updateText(session.segments[0].id, "手で直した");
  live().setSpeaker(session.segments[1].id, 3);
  live().deleteSegment(session.segments[2].id);
  recogniser_->latch.release();
  ASSERT_TRUE(testsupport::processEventsUntil([&] { return live().jobs().empty(); }));

  const VoiceSession& now = *live().session(session.id);
  EXPECT_THAT(textsOf(now.segments), ElementsAre("手で直した", "二", "四", "五"));
  EXPECT_THAT(speakersOf(now.segments), ElementsAre(0, 3, 0, std::nullopt));
  EXPECT_TRUE(now.segments[0].edited);
  EXPECT_EQ(now.segmentsBackup, session.segments);
  EXPECT_EQ(onDisk(session.id), now);
  EXPECT_EQ(notice(),
            "文字起こしをやり直しました。4文を見比べて2文を差し替え、抜けていた1文を足しました。"
            "「AIでやり直す」→「やり直す前に戻す」で戻せます。");
}

TEST_F(RedoJobTest, RedoWithNothingRecognisedStillKeepsTheBackup) {
  VoiceSession session;
  session.segments = {sentence("後", 5, 6), sentence("時刻なし", kNoTime, kNoTime), sentence("先", 1, 2)};
  session = stored(session, 10);

  runToEnd([&] { live().redoTranscript(session.id); });

  const VoiceSession& now = *live().session(session.id);
  EXPECT_THAT(textsOf(now.segments), ElementsAre("先", "後", "時刻なし"));
  EXPECT_EQ(now.segmentsBackup, session.segments);
  EXPECT_NEAR(now.duration.value_or(0), 10, 0.1);
  EXPECT_EQ(onDisk(session.id), now);
  EXPECT_THAT(fake_.requests(), IsEmpty());
  EXPECT_THAT(diarizer_->calls, IsEmpty());
  EXPECT_EQ(notice(),
            "文字起こしをやり直しました。0文を見比べて0文を差し替え、抜けていた0文を足しました。"
            "「AIでやり直す」→「やり直す前に戻す」で戻せます。");
}

TEST_F(RedoJobTest, RedoKeepsStoredTextsWhenTheJudgeFails) {
  VoiceSession session;
  session.segments = {sentence("いち", 0, 2, 0)};
  session = stored(session, 10);
  recogniser_->sentences = {heard("一", 0, 2), heard("新しい", 5, 6)};
  fake_.setScript([](const LanguageModelFake::Request&) { return LanguageModelFake::error(500, "down"); });

  runToEnd([&] { live().redoTranscript(session.id); });

  EXPECT_THAT(textsOf(live().session(session.id)->segments), ElementsAre("いち", "新しい"));
  EXPECT_THAT(logLines(), Contains("INFO 文字起こしのやり直しを完了: 会話 " + LiveModel::idText(session.id) +
                                   " やり直し 2文 比較 1 差し替え 0 追加 1 判定を飛ばした 1"));
}

// ---- Adding missing parts -----------------------------------------------------------------------

TEST_F(RedoJobTest, FillAddsSentencesThatStartInAGap) {
  VoiceSession session;
  session.segments = {sentence("最初", 0, 10, 2), sentence("最後", 50, 60, 1)};
  session = stored(session, 62);
  recogniser_->sentences = {heard("前から", 10.0, 11), heard("下限ちょうど", 10.3, 12), heard("二人目", 26, 28),
                            heard("終わりなし", 35, kNoTime), heard("上限ちょうど", 49.7, 50.5),
                            heard("区間の外", 55, 56), heard("時刻なし", kNoTime, kNoTime)};
  diarizer_->turns = {{1, 0, 10}, {0, 25, 40}};

  runToEnd([&] { live().fillTranscript(session.id); });

  const VoiceSession& now = *live().session(session.id);
  EXPECT_THAT(textsOf(now.segments), ElementsAre("最初", "下限ちょうど", "二人目", "終わりなし", "最後"));
  // Slot 1 met speaker 2; slot 0 met nobody and takes 0. A sentence without an end gets no speaker.
  EXPECT_THAT(speakersOf(now.segments), ElementsAre(2, std::nullopt, 0, std::nullopt, 1));
  EXPECT_FALSE(now.segmentsBackup);
  EXPECT_NEAR(now.duration.value_or(0), 62, 0.1);
  EXPECT_EQ(onDisk(session.id), now);

  ASSERT_EQ(recogniser_->calls.size(), 1u);
  ASSERT_EQ(recogniser_->calls[0].size(), 1u);
  EXPECT_NEAR(recogniser_->calls[0][0].lowerBound, 10.3, 1e-9);
  EXPECT_NEAR(recogniser_->calls[0][0].upperBound, 49.7, 1e-9);
  ASSERT_EQ(diarizer_->calls.size(), 1u);
  EXPECT_EQ(diarizer_->calls[0][0].lowerBound, 0);
  EXPECT_NEAR(diarizer_->calls[0][0].upperBound, 49.7, 1e-9);

  const std::string id = LiveModel::idText(session.id);
  EXPECT_THAT(logLines(), Contains("INFO 文字起こしの追加を開始: 会話 " + id));
  EXPECT_THAT(logLines(), Contains("INFO 文字起こしの追加を完了: 会話 " + id + " 区間 1 追加 3文 話者区間 2"));
  EXPECT_EQ(notice(), "3文を追加しました。");
  EXPECT_THAT(live().extractions, ElementsAre(std::make_pair(session.id, false)));
  EXPECT_THAT(fake_.requests(), IsEmpty());
}

TEST_F(RedoJobTest, FillWithoutGapsOnlySaysSo) {
  VoiceSession session;
  session.segments = {sentence("全部", 0, 5)};
  session = stored(session, 8);
  const std::string before = bytesOnDisk(session.id);

  runToEnd([&] { live().fillTranscript(session.id); });

  EXPECT_EQ(notice(), "文字起こしがない部分は見つかりませんでした。");
  EXPECT_EQ(bytesOnDisk(session.id), before);
  EXPECT_EQ(recogniser_->callCount(), 0u);
  EXPECT_THAT(diarizer_->calls, IsEmpty());
  EXPECT_TRUE(live().extractions.empty());
  EXPECT_THAT(logLines(), ElementsAre("INFO 文字起こしの追加を開始: 会話 " + LiveModel::idText(session.id),
                                      "INFO 知らせ: 文字起こしがない部分は見つかりませんでした。"));
}

TEST_F(RedoJobTest, FillThatHearsNothingStillDiarizesAndExtracts) {
  VoiceSession session = stored(VoiceSession{}, 12);

  runToEnd([&] { live().fillTranscript(session.id); });

  EXPECT_EQ(diarizer_->calls.size(), 1u);
  EXPECT_EQ(notice(), "新しく文字起こしできる発言はありませんでした（無音だった可能性があります）。");
  EXPECT_THAT(live().extractions, ElementsAre(std::make_pair(session.id, false)));
  EXPECT_NEAR(onDisk(session.id)->duration.value_or(0), 12, 0.1);
  EXPECT_THAT(logLines(), Contains("INFO 文字起こしの追加を完了: 会話 " + LiveModel::idText(session.id) +
                                   " 区間 1 追加 0文 話者区間 0"));
}

// ---- Both jobs ----------------------------------------------------------------------------------

enum class Job { redo, fill };

void start(LiveModel& live, Job job, const QUuid& id) {
  if (job == Job::redo) {
    live.redoTranscript(id);
  } else {
    live.fillTranscript(id);
  }
}

TEST_F(RedoJobTest, JobsShowTheirPhases) {
  struct Case {
    const char* name;
    Job job;
    std::vector<std::string> texts;
  };
  const Case cases[] = {
      {"redo", Job::redo,
       {"録音から文字起こししています…", "録音から文字起こししています… 50%", "どちらが正しいかを確かめています… 100%",
        "話者を推定しています…", "話者を推定しています… 40%"}},
      {"fill", Job::fill,
       {"文字起こしを追加しています…", "文字起こしを追加しています… 50%", "話者を推定しています…",
        "話者を推定しています… 40%"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    live_.reset();
    VoiceSession session;
    session.segments = {sentence("いち", 0, 2, 0)};
    session = stored(session, 40);
    recogniser_->sentences = {heard("一", 0, 2), heard("新しい", 35, 36)};
    live();

    runToEnd([&] { start(live(), c.job, session.id); });

    EXPECT_EQ(*jobTexts_, c.texts);
  }
}

TEST_F(RedoJobTest, JobsAreRefusedSilently) {
  struct Case {
    const char* name;
    std::function<QUuid(RedoJobTest&)> conversation;
  };
  const Case cases[] = {
      {"being recorded",
       [](RedoJobTest& t) {
         const QUuid id = t.stored(VoiceSession{}).id;
         t.live().setLiveID(id);
         return id;
       }},
      {"busy",
       [](RedoJobTest& t) {
         const QUuid id = t.stored(VoiceSession{}).id;
         t.live().setJob(id, "議事録をまとめています… 1/2");
         return id;
       }},
      {"unknown", [](RedoJobTest&) { return QUuid::createUuid(); }},
      {"without recording", [](RedoJobTest& t) { return t.stored(VoiceSession{}, 0).id; }},
      {"recording gone",
       [](RedoJobTest& t) {
         const VoiceSession session = t.stored(VoiceSession{});
         fs::remove(*t.store().audioPath(session));
         return session.id;
       }},
  };
  for (const Job job : {Job::redo, Job::fill}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (job == Job::redo ? " redo" : " fill"));
      live_.reset();
      const QUuid id = c.conversation(*this);
      const auto jobsBefore = live().jobs();
      const auto logBefore = logLines().size();
      QSignalSpy notices(&live(), &LiveModel::noticeChanged);

      start(live(), job, id);
      testsupport::processEventsUntil([] { return false; }, std::chrono::milliseconds(50));

      EXPECT_EQ(live().jobs(), jobsBefore);
      EXPECT_EQ(logLines().size(), logBefore);
      EXPECT_EQ(notices.count(), 0);
      EXPECT_EQ(recogniser_->callCount(), 0u);
      live().setJob(id, std::nullopt);
    }
  }
}

TEST_F(RedoJobTest, SecondJobWhileOneRunsReturnsAtOnce) {
  for (const Job first : {Job::redo, Job::fill}) {
    SCOPED_TRACE(first == Job::redo ? "redo first" : "fill first");
    live_.reset();
    const VoiceSession session = stored(VoiceSession{}, 40);
    const std::size_t calls = recogniser_->callCount();
    recogniser_->latch.hold();
    start(live(), first, session.id);
    ASSERT_TRUE(testsupport::processEventsUntil([&] { return recogniser_->latch.waiting(); }));
    const auto text = live().jobs().at(session.id);

    live().redoTranscript(session.id);
    live().fillTranscript(session.id);

    EXPECT_EQ(live().jobs().at(session.id), text);
    recogniser_->latch.release();
    ASSERT_TRUE(testsupport::processEventsUntil([&] { return live().jobs().empty(); }));
    EXPECT_EQ(recogniser_->callCount(), calls + 1);
  }
}

TEST_F(RedoJobTest, FailuresLeaveTheConversationAsItWas) {
  struct Case {
    const char* name;
    Job job;
    std::function<void(RedoJobTest&, const VoiceSession&)> breakIt;
    std::string logPrefix;   // empty: no log line
    std::string noticeText;  // empty: no notice
  };
  const auto recogniserFails = [](RedoJobTest& t, const VoiceSession&) {
    t.recogniser_->failure = std::make_exception_ptr(platform::UnavailableError("認識できません"));
  };
  const auto recogniserCancelled = [](RedoJobTest& t, const VoiceSession&) {
    t.recogniser_->failure = std::make_exception_ptr(platform::CancellationError());
  };
  const auto unreadable = [](RedoJobTest& t, const VoiceSession& session) {
    platform::writeFileAtomically(*t.store().audioPath(session), "no audio here");
  };
  const Case cases[] = {
      {"redo, recogniser fails", Job::redo, recogniserFails, "ERROR 文字起こしのやり直しの失敗: 会話 ",
       "文字起こしをやり直せませんでした: 認識できません"},
      {"redo, unreadable recording", Job::redo, unreadable, "ERROR 文字起こしのやり直しの失敗: 会話 ",
       "文字起こしをやり直せませんでした: "},
      {"redo, cancelled", Job::redo, recogniserCancelled, "", ""},
      {"fill, recogniser fails", Job::fill, recogniserFails, "ERROR 文字起こしの追加の失敗: 会話 ",
       "文字起こしを追加できませんでした: 認識できません"},
      {"fill, unreadable recording", Job::fill, unreadable, "ERROR 文字起こしの追加の失敗: 会話 ",
       "文字起こしを追加できませんでした: "},
      {"fill, cancelled", Job::fill, recogniserCancelled, "ERROR 文字起こしの追加の失敗: 会話 ",
       "文字起こしを追加できませんでした: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    live_.reset();
    recogniser_->failure = nullptr;
    VoiceSession session;
    session.segments = {sentence("いち", 0, 2, 0)};
    session = stored(session, 40);
    recogniser_->sentences = {heard("一", 0, 2), heard("新しい", 35, 36)};
    c.breakIt(*this, session);
    const std::string before = bytesOnDisk(session.id);
    const auto logBefore = logLines().size();
    live();

    runToEnd([&] { start(live(), c.job, session.id); });

    EXPECT_EQ(*live().session(session.id), session);
    EXPECT_EQ(bytesOnDisk(session.id), before);
    EXPECT_THAT(fake_.requests(), IsEmpty());
    std::vector<std::string> lines = logLines();
    lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(logBefore));
    std::vector<std::string> errors;
    for (const auto& line : lines) {
      if (line.rfind("ERROR ", 0) == 0) errors.push_back(line);
    }
    if (c.logPrefix.empty()) {
      EXPECT_THAT(errors, IsEmpty());
      EXPECT_EQ(notice(), "");
    } else {
      ASSERT_EQ(errors.size(), 1u);
      EXPECT_EQ(errors[0].rfind(c.logPrefix + LiveModel::idText(session.id) + " ", 0), 0u) << errors[0];
      EXPECT_EQ(notice().rfind(c.noticeText, 0), 0u) << notice();
      EXPECT_GT(notice().size(), std::string("文字起こしを追加できませんでした: ").size());
    }
  }
}

TEST_F(RedoJobTest, FailedDiarizationLeavesNewSentencesWithoutSpeakers) {
  for (const Job job : {Job::redo, Job::fill}) {
    SCOPED_TRACE(job == Job::redo ? "redo" : "fill");
    live_.reset();
    VoiceSession session;
    session.segments = {sentence("いち", 0, 2, 0)};
    session = stored(session, 40);
    recogniser_->sentences = {heard("新しい", 35, 36)};
    diarizer_->failure = std::make_exception_ptr(platform::UnavailableError("話者モデルがありません"));

    runToEnd([&] { start(live(), job, session.id); });

    EXPECT_THAT(textsOf(live().session(session.id)->segments), ElementsAre("いち", "新しい"));
    EXPECT_THAT(speakersOf(live().session(session.id)->segments), ElementsAre(0, std::nullopt));
    EXPECT_EQ(notice(), job == Job::redo ? "文字起こしをやり直しました。0文を見比べて0文を差し替え、抜けていた1文を足しました。"
                                           "「AIでやり直す」→「やり直す前に戻す」で戻せます。"
                                         : "1文を追加しました。");
  }
}

TEST_F(RedoJobTest, ConversationDeletedMidJobIsNotWrittenBack) {
  for (const Job job : {Job::redo, Job::fill}) {
    SCOPED_TRACE(job == Job::redo ? "redo" : "fill");
    live_.reset();
    const VoiceSession session = stored(VoiceSession{}, 40);
    recogniser_->sentences = {heard("新しい", 35, 36)};
    recogniser_->latch.hold();
    start(live(), job, session.id);
    ASSERT_TRUE(testsupport::processEventsUntil([&] { return recogniser_->latch.waiting(); }));

    live().deleteSession(session.id);
    recogniser_->latch.release();
    ASSERT_TRUE(testsupport::processEventsUntil([&] { return live().jobs().empty(); }));

    EXPECT_EQ(live().session(session.id), nullptr);
    EXPECT_FALSE(fs::exists(store().conversationFile(session.id)));
  }
}

TEST_F(RedoJobTest, ModelGoingMidJobEndsIt) {
  const VoiceSession session = stored(VoiceSession{}, 40);
  recogniser_->latch.hold();
  live().redoTranscript(session.id);
  ASSERT_TRUE(testsupport::processEventsUntil([&] { return recogniser_->latch.waiting(); }));
  const std::string before = bytesOnDisk(session.id);

  live_.reset();
  recogniser_->latch.release();
  testsupport::processEventsUntil([] { return false; }, std::chrono::milliseconds(200));

  EXPECT_EQ(bytesOnDisk(session.id), before);
}

// ---- With the real recogniser and diarizer ------------------------------------------------------

TEST_F(RedoJobTest, DefaultRecogniserIsTheFileTranscriber) {
  scriptedRecogniser_ = false;
  const std::vector<std::string> script = {"一つ目です。", "二つ目です。"};
  testsupport::ScriptedSpeechBackend::Installation installation(
      std::make_shared<testsupport::ScriptedSpeechBackend>(script));
  VoiceSession session = stored(VoiceSession{}, 0);
  session.audioFile = "recording.m4a";
  recording(session, testsupport::bursts(48000, 8, {1.0, 4.0}), 48000);
  store().save(session);

  runToEnd([&] { live().redoTranscript(session.id); });

  EXPECT_THAT(textsOf(live().session(session.id)->segments), ElementsAre("一つ目です。", "二つ目です。"));
}

TEST_F(RedoJobTest, RedoGivesSpeakersFromTheRealDiarizer) {
  scriptedDiarizer_ = false;
  tesselaudio::AppLogger::setMirrorsToConsole(false);
  testsupport::installSortformerBundle(testsupport::sortformerBandOracleModel(), root_.path() / "Models");
  VoiceSession session;
  session.segments = {sentence("最初の人", 0, 3, 2)};
  session = stored(session, 0);
  session.audioFile = "recording.m4a";
  std::vector<float> samples = testsupport::sortformerBandAudio(0, 4 * 48000, 1, 48000);
  const auto second = testsupport::sortformerBandAudio(1, 4 * 48000, 2, 48000);
  samples.insert(samples.end(), second.begin(), second.end());
  recording(session, samples, 48000);
  store().save(session);
  recogniser_->sentences = {heard("最初の人のつづき", 3.5, 3.9), heard("二人目", 5, 7)};

  runToEnd([&] { live().redoTranscript(session.id); });
  tesselaudio::AppLogger::setMirrorsToConsole(true);

  const VoiceSession& now = *live().session(session.id);
  EXPECT_THAT(textsOf(now.segments), ElementsAre("最初の人", "最初の人のつづき", "二人目"));
  // The first slot met speaker 2; the second met nobody and takes 0.
  EXPECT_THAT(speakersOf(now.segments), ElementsAre(2, 2, 0));
}

}  // namespace
}  // namespace veltovoice
