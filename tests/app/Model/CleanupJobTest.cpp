#include "app/Model/LiveModel.h"

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <QCoreApplication>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/Processing/CLICleaner.h"
#include "platform/sys/FileIO.h"
#include "tests/app/Processing/AssistantFixture.h"
#include "tests/support/EventLoop.h"
#include "tests/support/ManualClock.h"
#include "tests/support/TemporaryFolder.h"

namespace veltovoice {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// An assistant whose n-th request (from 1) is kept in $HOME/request<n> and answered with the file
// $HOME/answer<n>. With $HOME/fail<n> it writes that file to standard error and exits with 1;
// with $HOME/hold<n> it touches $HOME/holding<n> and waits until the hold file is gone.
const char* const kScriptedAssistant =
    "n=$(cat \"$HOME/count\" 2>/dev/null || echo 0); n=$((n + 1)); echo $n > \"$HOME/count\"\n"
    "cat > \"$HOME/request$n\"\n"
    "if [ -e \"$HOME/fail$n\" ]; then cat \"$HOME/fail$n\" >&2; exit 1; fi\n"
    "if [ -e \"$HOME/hold$n\" ]; then\n"
    "  touch \"$HOME/holding$n\"\n"
    "  while [ -e \"$HOME/hold$n\" ]; do sleep 0.02; done\n"
    "fi\n"
    "cat \"$HOME/answer$n\" 2>/dev/null || true\n";

std::string repeated(const std::string& character, int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += character;
  return text;
}

LiveSegment sentence(std::string text, std::optional<int> speaker = 0, bool edited = false) {
  LiveSegment segment;
  segment.text = std::move(text);
  segment.speaker = speaker;
  segment.edited = edited;
  return segment;
}

std::string answer(const std::vector<std::pair<int, std::string>>& lines) {
  std::string json = "{\"lines\":[";
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) json += ",";
    json += "{\"n\":" + std::to_string(lines[i].first) + ",\"text\":\"" + lines[i].second + "\"}";
  }
  return json + "]}";
}

std::vector<std::string> textsOf(const std::vector<LiveSegment>& segments) {
  std::vector<std::string> texts;
  for (const LiveSegment& segment : segments) texts.push_back(segment.text);
  return texts;
}

class TestModel : public LiveModel {
 public:
  using LiveModel::LiveModel;
  using LiveModel::setLiveID;
};

// The conversation model over a temporary root with the real store and log, a hand-driven clock,
// the scripted assistant installed as claude and chosen, and a consent prompt that answers as the
// test says and keeps the questions.
class CleanupJobTest : public AssistantFixture {
 protected:
  CleanupJobTest() {
    install(CLIAssistant::claude, kScriptedAssistant);
    choose("claude");
  }

  ~CleanupJobTest() override {
    for (int n = 1; n <= 3; ++n) fs::remove(home() / ("hold" + std::to_string(n)));
    if (live_) testsupport::processEventsUntil([&] { return live_->jobs().empty(); });
    live_.reset();
    QCoreApplication::processEvents();
  }

  SessionStore store() const { return SessionStore::inFolder(root_.path()); }

  VoiceSession stored(std::vector<LiveSegment> segments, std::optional<std::string> memo = "参加者：田中、佐藤") {
    VoiceSession session;
    session.title = "定例会議";
    session.segments = std::move(segments);
    session.speakerNames = {{1, "佐藤"}};
    session.memo = std::move(memo);
    store().save(session);
    return session;
  }

  TestModel& live() {
    if (!live_) {
      LiveModelServices services;
      services.clock = clock_;
      services.askConsent = [this](const LiveModelServices::ConsentQuestion& question) {
        questions_.push_back(question);
        return consent_;
      };
      live_ = std::make_unique<TestModel>(root_.path(), services);
      QCoreApplication::processEvents();
    }
    return *live_;
  }

  const VoiceSession& inModel(const QUuid& id) { return *live().session(id); }

  std::optional<VoiceSession> onDisk(const QUuid& id) const {
    const fs::path file = store().conversationFile(id);
    if (!fs::is_regular_file(file)) return std::nullopt;
    return VoiceSession::fromJsonText(platform::readFile(file));
  }

  void answerWith(int request, const std::string& text) {
    platform::writeFileAtomically(home() / ("answer" + std::to_string(request)), text);
  }
  void failWith(int request, const std::string& error) {
    platform::writeFileAtomically(home() / ("fail" + std::to_string(request)), error);
  }
  void hold(int request) { platform::writeFileAtomically(home() / ("hold" + std::to_string(request)), ""); }
  void release(int request) { fs::remove(home() / ("hold" + std::to_string(request))); }
  bool holding(int request) {
    return testsupport::processEventsUntil([&] { return fs::exists(home() / ("holding" + std::to_string(request))); });
  }
  std::string request(int n) const { return platform::readFile(home() / ("request" + std::to_string(n))); }
  bool asked() const { return fs::exists(home() / "count"); }


  bool finishes(const QUuid& id) { return testsupport::processEventsUntil([&] { return !live().jobs().count(id); }); }

  std::string noticeText() {
    return live().notice() ? live().notice()->text : std::string();
  }

  int argc_ = 0;
  QCoreApplication app_{argc_, nullptr};
  testsupport::TemporaryFolder root_;
  std::shared_ptr<testsupport::ManualClock> clock_ = std::make_shared<testsupport::ManualClock>();
  std::unique_ptr<TestModel> live_;
  bool consent_ = true;
  std::vector<LiveModelServices::ConsentQuestion> questions_;
};

const std::string kDone = "。「AIでやり直す」→「やり直す前に戻す」で戻せます。";

// ---- Refusals -----------------------------------------------------------------------------------

TEST_F(CleanupJobTest, RefusesInOrderWithNoticesOnlyForTheAssistant) {
  struct Case {
    const char* name;
    std::optional<std::string> chosen;
    bool recording;
    bool busy;
    bool unknown;
    bool empty;
    bool consent;
    std::string notice;
    int questions;
  };
  const Case cases[] = {
      {"no assistant chosen, though recording", std::nullopt, true, false, false, false, true,
       "「AIでやり直す」→「清書に使うAI」で、使うAIを選んでください。", 0},
      {"unknown assistant chosen", "bard", false, false, false, false, true,
       "「AIでやり直す」→「清書に使うAI」で、使うAIを選んでください。", 0},
      {"not installed, though busy", "gemini", false, true, false, false, true,
       "Gemini CLI が見つかりません。インストールしてログインしてから使ってください。", 0},
      {"being recorded", "claude", true, false, false, false, true, "", 0},
      {"job running", "claude", false, true, false, false, true, "", 0},
      {"unknown conversation", "claude", false, false, true, false, true, "", 0},
      {"no sentences", "claude", false, false, false, true, true, "", 0},
      {"consent refused", "claude", false, false, false, false, false, "", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    live_.reset();
    questions_.clear();
    const VoiceSession session = stored(c.empty ? std::vector<LiveSegment>{} : std::vector{sentence("えーと")});
    choose(c.chosen);
    consent_ = c.consent;
    if (c.recording) live().setLiveID(session.id);
    if (c.busy) live().setJob(session.id, "作業中…");
    const QUuid id = c.unknown ? QUuid::createUuid() : session.id;

    live().cleanTranscript(id);
    EXPECT_EQ(noticeText(), c.notice);
    EXPECT_EQ(questions_.size(), static_cast<std::size_t>(c.questions));
    EXPECT_EQ(live().jobs().count(session.id), c.busy ? 1u : 0u);
    EXPECT_FALSE(inModel(session.id).segmentsBackup);
    EXPECT_FALSE(CLIAssistant(CLIAssistant::claude).consented());
    EXPECT_FALSE(asked());
  }
}

TEST_F(CleanupJobTest, ConsentIsAskedOncePerAssistant) {
  install(CLIAssistant::codex, kScriptedAssistant);
  const VoiceSession session = stored({sentence("えーと")});

  live().cleanTranscript(session.id);
  ASSERT_TRUE(finishes(session.id));
  live().cleanTranscript(session.id);
  ASSERT_TRUE(finishes(session.id));
  choose("codex");
  live().cleanTranscript(session.id);
  ASSERT_TRUE(finishes(session.id));

  ASSERT_EQ(questions_.size(), 2u);
  EXPECT_EQ(questions_[0].message, "文字起こしを Claude Code に送ります");
  EXPECT_EQ(questions_[0].informativeText,
            "清書のため、この会話の文字起こしと参加者・用語メモを Claude Code（ご自身がログインしているサービス）へ送ります。"
            "音声は送りません。よろしいですか？");
  EXPECT_EQ(questions_[0].acceptButton, "送って清書する");
  EXPECT_EQ(questions_[0].cancelButton, "キャンセル");
  EXPECT_EQ(questions_[1].message, "文字起こしを ChatGPT（Codex） に送ります");
  EXPECT_TRUE(CLIAssistant(CLIAssistant::claude).consented());
  EXPECT_TRUE(CLIAssistant(CLIAssistant::codex).consented());
  EXPECT_FALSE(CLIAssistant(CLIAssistant::gemini).consented());
  EXPECT_EQ(noticeText(), "ChatGPT（Codex） で清書しました。0文を直しました" + kDone);
}

// ---- A run --------------------------------------------------------------------------------------

TEST_F(CleanupJobTest, TakesCorrectionsWithinTheRuleAndLeavesEditedSentencesAlone) {
  const VoiceSession session = stored({
      sentence("えーと今日は会議です", 0),               // small change: taken
      sentence("手で直した文です", 1, true),             // edited: neither sent nor changed
      sentence("あいうえおかきくけこ", std::nullopt),    // six of ten changed: refused
      sentence("たなかさんへれんらく", 1),                 // seven of ten, bringing in 田中: taken
      sentence("そのままの文", 0),                       // answered unchanged: no count
  });
  answerWith(1, answer({{0, "今日は会議です。"},
                        {1, "別の文"},
                        {2, "んんんんんんきくけこ"},
                        {3, "田中さんへ連絡"},
                        {4, "そのままの文"}}));

  live().cleanTranscript(session.id);
  EXPECT_EQ(live().jobs().at(session.id), "Claude Code で清書しています…");
  ASSERT_TRUE(finishes(session.id));

  const std::vector<CLICleaner::Line> sent = {{0, "話者A", "えーと今日は会議です"},
                                              {2, "話者", "あいうえおかきくけこ"},
                                              {3, "佐藤", "たなかさんへれんらく"},
                                              {4, "話者A", "そのままの文"}};
  EXPECT_EQ(request(1), CLICleaner::request("参加者：田中、佐藤", sent));
  const std::vector<std::string> expected = {"今日は会議です。", "手で直した文です", "あいうえおかきくけこ",
                                             "田中さんへ連絡", "そのままの文"};
  EXPECT_EQ(textsOf(inModel(session.id).segments), expected);
  EXPECT_EQ(inModel(session.id).segments[0].edited, false);
  EXPECT_EQ(inModel(session.id).segmentsBackup, session.segments);
  const std::optional<VoiceSession> saved = onDisk(session.id);
  ASSERT_TRUE(saved);
  EXPECT_EQ(textsOf(saved->segments), expected);
  EXPECT_EQ(saved->segmentsBackup, session.segments);
  EXPECT_EQ(noticeText(), "Claude Code で清書しました。2文を直しました（大きく変わった1文は採用していません）" + kDone);
  const std::string id = LiveModel::idText(session.id);
  EXPECT_TRUE(logged("INFO", "清書を開始: 会話 " + id + " Claude Code 4文"));
  EXPECT_TRUE(logged("INFO", "清書を完了: 会話 " + id + " Claude Code 修正 2 不採用 1"));
}

TEST_F(CleanupJobTest, AllEditedConversationAsksNothingAndReportsNoChanges) {
  const VoiceSession session = stored({sentence("一", 0, true), sentence("二", 1, true)}, std::nullopt);
  live().cleanTranscript(session.id);
  ASSERT_TRUE(finishes(session.id));
  EXPECT_FALSE(asked());
  EXPECT_EQ(inModel(session.id).segmentsBackup, session.segments);
  EXPECT_EQ(noticeText(), "Claude Code で清書しました。0文を直しました" + kDone);
  EXPECT_TRUE(logged("INFO", "清書を開始: 会話 " + LiveModel::idText(session.id) + " Claude Code 0文"));
}

TEST_F(CleanupJobTest, ShowsItsProgressAfterEachChunk) {
  const VoiceSession session =
      stored({sentence(repeated("あ", 3000)), sentence(repeated("い", 3000)), sentence(repeated("う", 3000))});
  std::vector<std::string> texts;
  QObject::connect(&live(), &LiveModel::jobsChanged, [&] {
    const auto entry = live().jobs().find(session.id);
    texts.push_back(entry == live().jobs().end() ? "(none)" : entry->second);
  });
  live().cleanTranscript(session.id);
  ASSERT_TRUE(finishes(session.id));
  EXPECT_THAT(texts, ElementsAre("Claude Code で清書しています…", "Claude Code で清書しています… 33%",
                                 "Claude Code で清書しています… 66%", "Claude Code で清書しています… 100%", "(none)"));
  EXPECT_THAT(request(3), ::testing::EndsWith("2|話者A|" + repeated("う", 3000)));
}

TEST_F(CleanupJobTest, FailureKeepsTheEarlierChunksAndTheBackup) {
  struct Case {
    const char* name;
    std::string firstAnswer;
    std::string notice;
  };
  const std::string failure = "清書できませんでした：Claude Code が答えを返しませんでした：Error: usage limit";
  const Case cases[] = {
      {"one sentence corrected before", answer({{0, repeated("あ", 2999) + "。"}}),
       failure + "（途中までの1文は直してあります）"},
      {"nothing corrected before", "読めない答え", failure},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    live_.reset();
    fs::remove(home() / "count");
    const VoiceSession session = stored({sentence(repeated("あ", 3000)), sentence(repeated("い", 3000))});
    answerWith(1, c.firstAnswer);
    failWith(2, "starting\nError: usage limit\n");

    live().cleanTranscript(session.id);
    ASSERT_TRUE(finishes(session.id));
    EXPECT_EQ(noticeText(), c.notice);
    const std::optional<VoiceSession> saved = onDisk(session.id);
    ASSERT_TRUE(saved);
    EXPECT_EQ(saved->segments, inModel(session.id).segments);
    EXPECT_EQ(saved->segmentsBackup, session.segments);
    EXPECT_EQ(saved->segments[0].text != session.segments[0].text, c.notice != failure);
    EXPECT_TRUE(logged("ERROR", "清書の失敗: 会話 " + LiveModel::idText(session.id) +
                                    " Claude Code CLIAssistant.Failure VeltoVoice.CLIAssistant.Failure#1: "
                                    "Claude Code が答えを返しませんでした：Error: usage limit"));
    EXPECT_FALSE(logged("INFO", "清書を完了: 会話 " + LiveModel::idText(session.id) + " Claude Code 修正 1 不採用 0"));
  }
}

// ---- The list changing while the assistant works -------------------------------------------------

TEST_F(CleanupJobTest, AnswersFollowTheirSentencesWhenTheListChangesMeanwhile) {
  const VoiceSession session = stored({sentence("ひとつめの文です"), sentence("ふたつめの文です"),
                                       sentence("みっつめの文です"), sentence("よっつめの文です")});
  answerWith(1, answer({{0, "一つ目の文です"}, {1, "二つ目の文です"}, {2, "三つ目の文です"}, {3, "四つ目の文です"}}));
  hold(1);
  live().cleanTranscript(session.id);
  ASSERT_TRUE(holding(1));

  live().deleteSegment(session.segments[0].id);
  live().updateText(session.segments[2].id, "利用者が直した三つめ");
  release(1);
  ASSERT_TRUE(finishes(session.id));

  EXPECT_EQ(textsOf(inModel(session.id).segments),
            (std::vector<std::string>{"二つ目の文です", "利用者が直した三つめ", "四つ目の文です"}));
  EXPECT_EQ(inModel(session.id).segmentsBackup, session.segments);
  EXPECT_EQ(noticeText(), "Claude Code で清書しました。2文を直しました" + kDone);
}

TEST_F(CleanupJobTest, ConversationDeletedMeanwhileIsNotWrittenAgain) {
  const VoiceSession session = stored({sentence("えーと")});
  answerWith(1, answer({{0, "えと"}}));
  hold(1);
  live().cleanTranscript(session.id);
  ASSERT_TRUE(holding(1));
  live().deleteSession(session.id);
  release(1);
  ASSERT_TRUE(finishes(session.id));
  clock_->advance(5);
  EXPECT_FALSE(onDisk(session.id));
  EXPECT_EQ(live().session(session.id), nullptr);
}

TEST_F(CleanupJobTest, ModelGoingAwayEndsTheRequest) {
  const VoiceSession session = stored({sentence("えーと")});
  hold(1);
  live().cleanTranscript(session.id);
  ASSERT_TRUE(holding(1));
  live_.reset();
  // The request is stopped: its folder goes once the assistant has been ended.
  EXPECT_TRUE(testsupport::processEventsUntil([&] { return fs::exists(workRoot()) && fs::is_empty(workRoot()); }));
  testsupport::settleEvents();
  EXPECT_FALSE(onDisk(session.id)->segmentsBackup);
}

// ---- Restoring -----------------------------------------------------------------------------------

TEST_F(CleanupJobTest, RestorePutsTheBackupBackOnce) {
  struct Case {
    const char* name;
    bool withTopics;
  };
  for (const Case& c : {Case{"with topics", true}, Case{"without topics", false}}) {
    SCOPED_TRACE(c.name);
    live_.reset();
    VoiceSession session;
    session.segments = {sentence("新しい一"), sentence("新しい二")};
    session.segmentsBackup = std::vector{sentence("古い一"), sentence("古い二")};
    if (c.withTopics) {
      TopicTag kept;
      kept.title = "残る話題";
      kept.startSegmentID = (*session.segmentsBackup)[1].id;
      TopicTag dropped;
      dropped.title = "消える話題";
      dropped.startSegmentID = session.segments[0].id;
      session.topics = std::vector{dropped, kept};
    }
    store().save(session);

    live().restoreTranscriptBackup(session.id);
    const VoiceSession& restored = inModel(session.id);
    EXPECT_EQ(restored.segments, *session.segmentsBackup);
    EXPECT_FALSE(restored.segmentsBackup);
    if (c.withTopics) {
      ASSERT_TRUE(restored.topics);
      ASSERT_EQ(restored.topics->size(), 1u);
      EXPECT_EQ(restored.topics->at(0).title, "残る話題");
    } else {
      EXPECT_FALSE(restored.topics);
    }
    EXPECT_EQ(onDisk(session.id), restored);
    EXPECT_EQ(noticeText(), "やり直す前の文字起こしに戻しました。");
    EXPECT_TRUE(logged("INFO", "やり直す前の文字起こしに戻した: 会話 " + LiveModel::idText(session.id)));

    live().setNotice(std::nullopt);
    live().restoreTranscriptBackup(session.id);
    EXPECT_EQ(noticeText(), "");
    EXPECT_EQ(inModel(session.id).segments, *session.segmentsBackup);
  }
}

TEST_F(CleanupJobTest, RestoreAfterACleanUpBringsTheOldTextsBack) {
  const VoiceSession session = stored({sentence("えーと今日は会議です"), sentence("以上です")});
  answerWith(1, answer({{0, "今日は会議です"}}));
  live().cleanTranscript(session.id);
  ASSERT_TRUE(finishes(session.id));
  ASSERT_EQ(inModel(session.id).segments[0].text, "今日は会議です");

  live().restoreTranscriptBackup(session.id);
  EXPECT_EQ(inModel(session.id).segments, session.segments);
  EXPECT_EQ(onDisk(session.id)->segments, session.segments);
  EXPECT_FALSE(onDisk(session.id)->segmentsBackup);
}

TEST_F(CleanupJobTest, RestoreOfAnUnknownConversationOrNoBackupDoesNothing) {
  const VoiceSession session = stored({sentence("一")});
  live().restoreTranscriptBackup(session.id);
  live().restoreTranscriptBackup(QUuid::createUuid());
  EXPECT_EQ(live().notice(), std::nullopt);
  EXPECT_EQ(inModel(session.id).segments, session.segments);
  EXPECT_FALSE(logged("INFO", "やり直す前の文字起こしに戻した: 会話 " + LiveModel::idText(session.id)));
}

}  // namespace
}  // namespace veltovoice
