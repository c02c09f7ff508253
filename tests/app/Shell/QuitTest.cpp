#include <signal.h>

#include <QTest>
#include <gmock/gmock.h>

#include "app/Shell/MainWindow.h"
#include "platform/sys/StandardPaths.h"
#include "tests/app/Shell/AppEntryFixture.h"

namespace veltovoice {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using Phase = LiveModel::Phase;
using QuitRequest = AppDelegate::QuitRequest;

// 3.072 s of input: a first utterance that ends, and a second that runs to the end of the input,
// so that its sentence comes only from finishing the recogniser.
constexpr std::int64_t kBuffers = 12;
constexpr double kInputSeconds = kBuffers * 4096 / 16000.0;

class QuitTest : public testing::AppEntryTest {
 protected:
  QuitTest() { useInput(kBuffers, {0.5, 2.4}, 1.0); }

  std::vector<std::string> texts(const VoiceSession& session) {
    std::vector<std::string> texts;
    for (const LiveSegment& s : session.segments) texts.push_back(s.text);
    return texts;
  }

  // What a recording ended by quitting must leave: the conversation with its length and both
  // sentences, and a recording file that plays to that length.
  void expectSavedRecording(const QUuid& id) {
    const std::optional<VoiceSession> stored = storedCopy(id);
    ASSERT_TRUE(stored);
    ASSERT_TRUE(stored->duration);
    EXPECT_NEAR(*stored->duration, kInputSeconds, 0.1);
    EXPECT_THAT(texts(*stored), ElementsAre("最初の発言です。", "録音の最後の発言です。"));
    ASSERT_TRUE(stored->audioFile);
    const testsupport::DecodedAudio audio = testsupport::readAudioFile(root() / "Audio" / *stored->audioFile);
    EXPECT_EQ(audio.sampleRate, 48000);
    EXPECT_NEAR(double(audio.length) / audio.sampleRate, *stored->duration, 0.1);
  }
};

TEST_F(QuitTest, WhileIdleEndsAtOnceWithoutAsking) {
  delegate().launch();
  answerNextQuestion(QStringLiteral("キャンセル"));
  ASSERT_TRUE(quitAndWait(QuitRequest::ask));
  EXPECT_TRUE(questionTexts_.empty()) << "asked while idle";
  EXPECT_TRUE(delegate().quitting());
  EXPECT_EQ(quitReady_, 1);
}

TEST_F(QuitTest, WritesEditsStillWaitingForTheirDebouncedSave) {
  VoiceSession first;
  first.title = "最初の題";
  first.startedAt = 100;
  first.markdownFile = "first.md";
  SessionStore::inFolder(root()).save(first);
  delegate().launch();
  model().renameSession(first.id, "直前に変えた題");
  model().updateMemo(first.id, "終了直前のメモ");
  ASSERT_EQ(storedCopy(first.id)->title, "最初の題");

  ASSERT_TRUE(quitAndWait(QuitRequest::unattended));
  // The clock never moved: only the quit wrote them.
  const std::optional<VoiceSession> stored = storedCopy(first.id);
  EXPECT_EQ(stored->title, "直前に変えた題");
  EXPECT_EQ(stored->memo, "終了直前のメモ");
}

TEST_F(QuitTest, QuestionNamesTheRecordingAndDefaultsToCancel) {
  delegate().launch();
  const std::unique_ptr<QMessageBox> question = delegate().quitQuestion();
  EXPECT_EQ(question->text(), "録音中です");
  EXPECT_EQ(question->informativeText(),
            "終了すると録音と文字起こしが止まります。先に「終了」で録音を保存してください。");
  const QList<QAbstractButton*> buttons = question->buttons();
  ASSERT_EQ(buttons.size(), 2);
  QStringList titles;
  for (QAbstractButton* b : buttons) titles << b->text();
  EXPECT_THAT(titles, ::testing::UnorderedElementsAre(QStringLiteral("キャンセル"), QStringLiteral("VELTO VOICEを終了")));
  ASSERT_TRUE(question->defaultButton());
  EXPECT_EQ(question->defaultButton()->text(), "キャンセル");
  ASSERT_TRUE(question->escapeButton());
  EXPECT_EQ(question->escapeButton()->text(), "キャンセル");
}

// How the end is asked for while a recording runs.
struct RecordingCase {
  const char* name;
  QuitRequest request;
  const char* answer;  // the button the user chooses, for questions
  int signal;          // raised instead of a request when not 0
  bool ends;
};

void PrintTo(const RecordingCase& c, std::ostream* out) { *out << c.name; }

class QuitWhileRecordingTest : public QuitTest, public ::testing::WithParamInterface<RecordingCase> {};

TEST_P(QuitWhileRecordingTest, EndsOnlyAfterTheRecordingIsSaved) {
  const RecordingCase& c = GetParam();
  delegate().launch();
  const QUuid id = startRecording();
  playToEnd(1, true);
  ASSERT_FALSE(model().volatileText().empty());

  // A question nobody expects is cancelled, so that the test fails instead of waiting.
  answerNextQuestion(QString::fromUtf8(c.answer[0] ? c.answer : "キャンセル"));
  if (c.signal != 0) {
    ::raise(c.signal);
  } else {
    delegate().requestQuit(c.request);
  }
  if (c.ends) {
    ASSERT_TRUE(testsupport::processEventsUntil([&] { return quitReady_ > 0; }));
  }
  if (c.request == QuitRequest::ask) {
    ASSERT_EQ(questionTexts_.size(), 2u);
    EXPECT_EQ(questionTexts_[0], "録音中です");
  } else {
    EXPECT_TRUE(questionTexts_.empty()) << "asked without a user";
  }

  if (!c.ends) {
    testsupport::settleEvents();
    EXPECT_EQ(quitReady_, 0);
    EXPECT_FALSE(delegate().quitting());
    EXPECT_EQ(model().phase(), Phase::recording);
    EXPECT_EQ(model().liveID(), id);
    QCoro::waitFor(model().stop());
    return;
  }
  EXPECT_EQ(quitReady_, 1);
  EXPECT_EQ(model().phase(), Phase::idle);
  expectSavedRecording(id);
}

const RecordingCase kRecordingCases[] = {
    {"CancelKeepsRecording", QuitRequest::ask, "キャンセル", 0, false},
    {"QuitAnswerStopsAndSaves", QuitRequest::ask, "VELTO VOICEを終了", 0, true},
    {"TerminationSignalDoesNotAsk", QuitRequest::unattended, "", SIGTERM, true},
    {"InterruptSignalDoesNotAsk", QuitRequest::unattended, "", SIGINT, true},
    {"SessionEndingDoesNotAsk", QuitRequest::unattended, "", 0, true},
};

INSTANTIATE_TEST_SUITE_P(Requests, QuitWhileRecordingTest, ::testing::ValuesIn(kRecordingCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(QuitTest, SignalWhileStartingWaitsForTheStartThenStopsIt) {
  delegate().launch();
  holds_->prepare = true;
  delegate().recordingCommands()->start()->trigger();
  ASSERT_TRUE(testsupport::processEventsUntil([&] { return model().phase() == Phase::starting; }));
  ::raise(SIGTERM);
  testsupport::settleEvents();
  EXPECT_EQ(quitReady_, 0);
  EXPECT_EQ(model().phase(), Phase::starting);

  holds_->prepare = false;
  ASSERT_TRUE(testsupport::processEventsUntil([&] { return quitReady_ > 0; }));
  EXPECT_EQ(model().phase(), Phase::idle);
  ASSERT_EQ(model().sessionCount(), 1);
  const std::optional<VoiceSession> stored = storedCopy(model().sessionAt(0).id);
  ASSERT_TRUE(stored);
  EXPECT_TRUE(stored->duration);
}

TEST_F(QuitTest, SignalWhileStoppingAwaitsTheStop) {
  delegate().launch();
  const QUuid id = startRecording();
  playToEnd(1, true);
  holds_->finish = true;
  delegate().recordingCommands()->stop()->trigger();
  ASSERT_TRUE(testsupport::processEventsUntil([&] { return holds_->finishing.load(); }));
  ASSERT_EQ(model().phase(), Phase::stopping);
  ::raise(SIGTERM);
  testsupport::settleEvents();
  EXPECT_EQ(quitReady_, 0);

  holds_->finish = false;
  ASSERT_TRUE(testsupport::processEventsUntil([&] { return quitReady_ > 0; }));
  EXPECT_EQ(quitReady_, 1);
  expectSavedRecording(id);
}

TEST_F(QuitTest, SignalWhileTheQuestionIsOpenEndsWithoutTheAnswer) {
  delegate().launch();
  const QUuid id = startRecording();
  playToEnd(1, true);
  // Instead of an answer, a termination signal comes while the question is open.
  whenQuestionOpens([](QMessageBox&) { ::raise(SIGTERM); });
  delegate().requestQuit(QuitRequest::ask);
  ASSERT_TRUE(testsupport::processEventsUntil([&] { return quitReady_ > 0; }));
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  EXPECT_EQ(quitReady_, 1);
  expectSavedRecording(id);
}

TEST_F(QuitTest, DataFolderThatIsAFileStartsAndReportsTheFailedSave) {
  const std::filesystem::path file = data_.path() / "plain";
  std::ofstream(file) << "not a folder";
  setenv("XDG_DATA_HOME", file.c_str(), 1);
  setenv("VELTOVOICE_DEMO", "1", 1);
  AppDelegate::Setup made = setup();
  made.root = LiveModel::defaultRoot();
  delegate_ = std::make_unique<AppDelegate>(std::move(made));
  QObject::connect(delegate_.get(), &AppDelegate::quitReady, [this] { ++quitReady_; });
  delegate_->launch();
  ASSERT_TRUE(delegate_->window());
  EXPECT_TRUE(delegate_->window()->isVisible());
  ASSERT_EQ(model().sessionCount(), 1);

  model().renameSession(model().sessionAt(0).id, "保存できない題");
  ASSERT_TRUE(quitAndWait(QuitRequest::ask));
  ASSERT_TRUE(model().notice());
  EXPECT_THAT(model().notice()->text, StartsWith("保存できませんでした"));
  EXPECT_TRUE(std::filesystem::is_regular_file(file));
}

}  // namespace
}  // namespace veltovoice
