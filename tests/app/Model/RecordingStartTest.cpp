#include "app/Model/LiveModel.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <thread>

#include <QCoreApplication>
#include <QCoroTask>
#include <QTimer>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "DevadEvev/LiveTranscriber.h"
#include "app/Model/AppLog.h"
#include "app/Model/UserLocale.h"
#include "platform/audio/AudioEngine.h"
#include "platform/audio/GeneratorAudioInput.h"
#include "platform/sys/Error.h"
#include "platform/sys/FileIO.h"
#include "speech/Shared/MLModelConfigurationUtils.h"
#include "tests/support/EventLoop.h"
#include "tests/support/ManualClock.h"
#include "tests/support/ScriptedSpeechBackend.h"
#include "tests/support/TemporaryFolder.h"

namespace veltovoice {
namespace {

namespace fs = std::filesystem;
using ::testing::AllOf;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using testsupport::ScriptedSpeechBackend;

const std::string kMicrophoneNotice = "録音に使えるマイクが見つかりません。マイクをつなぎ、サウンドの設定で入力装置を選んでください。";
const std::string kNoAudioNotice = "マイクの音声が5秒以上届いていません。マイクの接続を確認してください。";

// 2025-03-03 09:05:00 in Tokyo.
const auto kMarch3 = std::chrono::system_clock::time_point(std::chrono::seconds(1740960300));

// What a test diarizer does and what was done to it; shared with the test, which may outlive it.
struct DiarizerControl {
  enum class Mode { succeed, fail, block };
  std::atomic<Mode> mode = Mode::succeed;
  std::atomic<bool> entered = false;   // prepare() has begun
  std::atomic<bool> released = false;  // a blocked prepare() may go on
  std::atomic<bool> cancelled = false;
  std::atomic<int> appended = 0;
};

class TestDiarizer : public devadevev::SpeakerDiarizer {
 public:
  explicit TestDiarizer(std::shared_ptr<DiarizerControl> control) : control_(std::move(control)) {}

  void prepare(const fs::path&, TurnsHandler, std::stop_token stop) override {
    control_->entered = true;
    if (control_->mode == DiarizerControl::Mode::fail) {
      throw platform::Error("TestError", "Test", 1, "モデルがありません");
    }
    while (control_->mode == DiarizerControl::Mode::block && !control_->released &&
           !stop.stop_requested()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  void append(std::span<const float>, double) override { ++control_->appended; }
  void finish() override {}
  void cancel() override { control_->cancelled = true; }

 private:
  std::shared_ptr<DiarizerControl> control_;
};

class TestModel : public LiveModel {
 public:
  using LiveModel::LiveModel;
  using LiveModel::setPhase;
};

// A model over a temporary root with the real store, log, recogniser (on a generator input and
// the scripted speech backend) and recording writer; a test diarizer; a hand-driven clock.
class RecordingStartTest : public ::testing::Test {
 protected:
  RecordingStartTest() { setenv("XDG_DATA_HOME", data_.path().c_str(), 1); }
  ~RecordingStartTest() override {
    model_.reset();
    QCoreApplication::processEvents();
  }

  SessionStore store() const { return SessionStore::inFolder(root_.path()); }

  TestModel& model() {
    if (!model_) {
      LiveModelServices services;
      services.clock = clock_;
      services.microphoneAuthorized = [this] { return microphone_; };
      services.makeTranscriber = [this] {
        return std::make_unique<devadevev::LiveTranscriber>(std::make_unique<platform::AudioEngine>(
            std::make_unique<platform::GeneratorAudioInput>(inputRate_, 1, inputFrames_,
                                                            [](std::int64_t frame, std::uint32_t) {
                                                              return frame % 100 < 50 ? 0.25f : -0.25f;
                                                            },
                                                            [] {
                                                              platform::PacedAudioInput::Pacing pacing;
                                                              pacing.speed = 0;
                                                              return pacing;
                                                            }())));
      };
      services.makeDiarizer = [this] { return std::make_unique<TestDiarizer>(diarizer_); };
      model_ = std::make_unique<TestModel>(root_.path(), services);
      QCoreApplication::processEvents();
    }
    return *model_;
  }

  void startAndWait() { QCoro::waitFor(model().start()); }

  std::vector<std::string> logMessages() const {
    AppLog::flush();
    std::vector<std::string> messages;
    std::istringstream in(platform::readFile(AppLog::directory() / "veltovoice.log"));
    for (std::string line; std::getline(in, line);) {
      const std::size_t version = line.find("] v");
      messages.push_back(line.substr(line.find(' ', version + 3) + 1));
    }
    return messages;
  }

  std::vector<fs::path> filesIn(const fs::path& folder) const {
    std::vector<fs::path> files;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) files.push_back(entry.path().filename());
    return files;
  }

  VoiceSession stored(double startedAt) {
    VoiceSession session;
    session.title = "前の会議";
    session.startedAt = startedAt;
    store().save(session);
    return session;
  }

  int argc_ = 0;
  QCoreApplication app_{argc_, nullptr};
  testsupport::TemporaryFolder data_;
  testsupport::TemporaryFolder root_;
  std::shared_ptr<testsupport::ManualClock> clock_ = std::make_shared<testsupport::ManualClock>(kMarch3);
  std::shared_ptr<DiarizerControl> diarizer_ = std::make_shared<DiarizerControl>();
  std::optional<ScriptedSpeechBackend::Installation> backend_{
      std::in_place, std::make_shared<ScriptedSpeechBackend>(std::vector<std::string>{"こんにちは"})};
  bool microphone_ = true;
  double inputRate_ = 16000;
  std::int64_t inputFrames_ = 0;
  std::unique_ptr<TestModel> model_;
};

TEST_F(RecordingStartTest, StartRecordsIntoANewConversationWithStatusesAndLog) {
  std::vector<LiveModel::Phase> phases;
  std::vector<std::string> statuses;
  QObject::connect(&model(), &LiveModel::phaseChanged, [&] { phases.push_back(model().phase()); });
  QObject::connect(&model(), &LiveModel::statusChanged, [&] { statuses.push_back(model().status()); });
  diarizer_->mode = DiarizerControl::Mode::block;
  QCoro::Task<> start = model().start();
  testsupport::processEventsUntil([&] { return diarizer_->entered.load(); });
  // While the diarizer prepares, the conversation exists in memory only.
  ASSERT_EQ(model().sessionCount(), 1);
  const VoiceSession& fresh = model().sessionAt(0);
  const QUuid id = fresh.id;
  EXPECT_EQ(model().liveID(), id);
  EXPECT_EQ(model().selectedID(), id);
  EXPECT_FALSE(fs::exists(store().conversationFile(id)));
  clock_->advance(30);  // a first model download takes a while
  diarizer_->released = true;
  QCoro::waitFor(start);

  EXPECT_THAT(phases, ElementsAre(LiveModel::Phase::starting, LiveModel::Phase::recording));
  EXPECT_THAT(statuses, ElementsAre("話者分離のモデルを初回だけダウンロードしています…", "音声認識を準備しています…", ""));
  const VoiceSession& live = *model().session(id);
  EXPECT_EQ(live.title, "3月3日 9:05 の録音");
  EXPECT_EQ(live.markdownFile, "2025-03-03 0905 3月3日 9：05 の録音.md");
  EXPECT_EQ(live.audioFile, LiveModel::idText(id) + ".m4a");
  EXPECT_DOUBLE_EQ(unixSecondsFromRecordTime(live.startedAt), 1740960300.0 + 30);
  EXPECT_TRUE(fs::exists(store().conversationFile(id)));
  EXPECT_TRUE(fs::exists(store().sessionsDirectory / *live.markdownFile));
  EXPECT_TRUE(model().speakersAvailable());
  EXPECT_THAT(logMessages(), Contains("録音を開始: 会話 " + LiveModel::idText(id) + " 話者分離 あり"));
  EXPECT_FALSE(model().notice().has_value());
}

TEST_F(RecordingStartTest, RecogniserProgressShowsAndAPresentModelsFolderSaysPreparing) {
  backend_.reset();
  backend_.emplace(std::make_shared<ScriptedSpeechBackend>(
      std::vector<std::string>{"x"}, ScriptedSpeechBackend::Directive::missingAssets));
  fs::create_directories(root_.path() / "Models");
  std::vector<std::string> statuses;
  QObject::connect(&model(), &LiveModel::statusChanged, [&] { statuses.push_back(model().status()); });
  startAndWait();
  testsupport::processEventsUntil([&] { return statuses.size() >= 4; });
  EXPECT_THAT(statuses, ElementsAre("話者分離を準備しています…", "音声認識を準備しています…",
                                    "日本語の音声認識モデルを準備しています…", ""));
}

TEST_F(RecordingStartTest, WithoutMicrophoneNothingIsMadeAndTheNewestGetsSelected) {
  const VoiceSession older = stored(100);
  const VoiceSession newer = stored(200);
  microphone_ = false;
  model().setSelectedID(std::nullopt);
  startAndWait();
  EXPECT_EQ(model().phase(), LiveModel::Phase::idle);
  EXPECT_EQ(model().sessionCount(), 2);
  EXPECT_EQ(model().selectedID(), newer.id);
  ASSERT_TRUE(model().notice().has_value());
  EXPECT_EQ(model().notice()->text, kMicrophoneNotice);
  EXPECT_EQ(model().notice()->action, LiveModel::Notice::Action::microphone);
  EXPECT_THAT(logMessages(), Contains(::testing::StartsWith("録音を開始できなかった: ")));
  EXPECT_FALSE(diarizer_->entered);
}

TEST_F(RecordingStartTest, RecogniserFailureUndoesEverything) {
  struct Case {
    const char* name;
    DiarizerControl::Mode diarizer;
    std::string notice;
  };
  const Case cases[] = {
      {"after the diarizer was prepared", DiarizerControl::Mode::succeed, "日本語の音声認識モデルを読み込めませんでした。モデルの置き場所はヘルプの「ログを開く」で確かめられます。"},
      {"after the diarizer failed", DiarizerControl::Mode::fail, "話者分離を準備できなかったため、話者なしで続けます（モデルがありません）"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    model_.reset();
    backend_.reset();  // the default build: no Japanese
    diarizer_ = std::make_shared<DiarizerControl>();
    diarizer_->mode = c.diarizer;
    const VoiceSession previous = stored(100);
    startAndWait();
    EXPECT_EQ(model().phase(), LiveModel::Phase::idle);
    EXPECT_EQ(model().sessionCount(), 1);
    EXPECT_EQ(model().selectedID(), previous.id);
    EXPECT_FALSE(model().liveID().has_value());
    EXPECT_TRUE(diarizer_->cancelled);
    EXPECT_THAT(filesIn(root_.path() / "Audio"), IsEmpty());
    EXPECT_THAT(filesIn(store().sessionsDirectory), ElementsAre(LiveModel::idText(previous.id) + ".json"));
    ASSERT_TRUE(model().notice().has_value());
    EXPECT_EQ(model().notice()->text, c.notice);
    EXPECT_THAT(logMessages(), Contains(HasSubstr("日本語の音声認識モデルを読み込めませんでした。モデルの置き場所はヘルプの「ログを開く」で確かめられます。")));
    // The log says where the models belong and why none was found.
    EXPECT_THAT(logMessages(),
                Contains(AllOf(HasSubstr("モデルの置き場所 " +
                                         tesselaudio::MLModelConfigurationUtils::defaultModelsDirectory().string()),
                               HasSubstr("理由: 音声認識エンジンが組み込まれていない"))));
    fs::remove(store().conversationFile(previous.id));
  }
}

TEST_F(RecordingStartTest, FailingDiarizerRecordsWithoutSpeakers) {
  diarizer_->mode = DiarizerControl::Mode::fail;
  startAndWait();
  EXPECT_EQ(model().phase(), LiveModel::Phase::recording);
  EXPECT_FALSE(model().speakersAvailable());
  ASSERT_TRUE(model().notice().has_value());
  EXPECT_EQ(model().notice()->text, "話者分離を準備できなかったため、話者なしで続けます（モデルがありません）");
  EXPECT_THAT(logMessages(), Contains(HasSubstr("話者分離 なし")));
}

TEST_F(RecordingStartTest, BrokenInputOrAudioFolderFailsTheStartCleanly) {
  struct Case {
    const char* name;
    double rate;
    bool audioIsAFile;
  };
  for (const Case& c : {Case{"no input format", 0, false}, Case{"audio path is a file", 16000, true}}) {
    SCOPED_TRACE(c.name);
    model_.reset();
    fs::remove_all(root_.path() / "Audio");
    if (c.audioIsAFile) std::ofstream(root_.path() / "Audio") << "x";
    inputRate_ = c.rate;
    startAndWait();
    EXPECT_EQ(model().phase(), LiveModel::Phase::idle);
    EXPECT_EQ(model().sessionCount(), 0);
    EXPECT_THAT(filesIn(store().sessionsDirectory), IsEmpty());
    if (!c.audioIsAFile) {
      EXPECT_THAT(filesIn(root_.path() / "Audio"), IsEmpty());
    }
    EXPECT_TRUE(model().notice().has_value());
  }
}

TEST_F(RecordingStartTest, LevelsKeepTheLast240AndTheTickerCountsOnlyWhileRecording) {
  inputFrames_ = 300 * 4096;  // 300 tap buffers
  startAndWait();
  testsupport::processEventsUntil([&] { return diarizer_->appended >= 300; });
  ASSERT_GE(diarizer_->appended, 300);
  testsupport::processEventsUntil([&] { return model().levels().size() == LiveModel::kMaxLevels; });
  EXPECT_EQ(model().levels().size(), LiveModel::kMaxLevels);
  EXPECT_NEAR(model().levels().back(), 0.25, 1e-6);

  clock_->advance(1.0);
  EXPECT_DOUBLE_EQ(model().elapsed(), 1.0);
  model().setPhase(LiveModel::Phase::paused);
  clock_->advance(10.0);
  EXPECT_DOUBLE_EQ(model().elapsed(), 1.0);
  EXPECT_FALSE(model().notice().has_value()) << "no warning while paused";
}

TEST_F(RecordingStartTest, SilentInputWarnsAfterFiveSecondsAndAgainAfterDismissal) {
  startAndWait();  // the generator delivers nothing
  clock_->advance(5.0);
  EXPECT_FALSE(model().notice().has_value());
  clock_->advance(0.5);
  ASSERT_TRUE(model().notice().has_value());
  EXPECT_EQ(model().notice()->text, kNoAudioNotice);
  model().setNotice(std::nullopt);
  clock_->advance(0.5);
  EXPECT_EQ(model().notice()->text, kNoAudioNotice);
  model().setNotice(LiveModel::Notice{"別の知らせ", std::nullopt});
  clock_->advance(2.0);
  EXPECT_EQ(model().notice()->text, "別の知らせ");
}

TEST_F(RecordingStartTest, PreparationKeepsTheEventLoopRunningAndRefusesASecondStart) {
  diarizer_->mode = DiarizerControl::Mode::block;
  QCoro::Task<> start = model().start();
  testsupport::processEventsUntil([&] { return diarizer_->entered.load(); });
  bool delivered = false;
  QTimer::singleShot(0, [&] { delivered = true; });
  testsupport::processEventsUntil([&] { return delivered; });
  EXPECT_TRUE(delivered);
  QCoro::waitFor(model().start());  // returns at once
  EXPECT_EQ(model().sessionCount(), 1);
  EXPECT_EQ(model().phase(), LiveModel::Phase::starting);
  diarizer_->released = true;
  QCoro::waitFor(start);
  EXPECT_EQ(model().phase(), LiveModel::Phase::recording);
  QCoro::waitFor(model().start());
  EXPECT_EQ(model().sessionCount(), 1);
}

TEST_F(RecordingStartTest, AFailedStartLeavesNoFilesEvenAfterAnEditWhileStarting) {
  backend_.reset();
  diarizer_->mode = DiarizerControl::Mode::block;
  QCoro::Task<> start = model().start();
  testsupport::processEventsUntil([&] { return diarizer_->entered.load(); });
  const QUuid id = model().sessionAt(0).id;
  model().renameSession(id, "名前を変えた");
  clock_->advance(LiveModel::kSaveDebounceSeconds);
  ASSERT_TRUE(fs::exists(store().conversationFile(id)));
  model().updateMemo(id, "まだ保存待ち");
  diarizer_->released = true;
  QCoro::waitFor(start);
  clock_->advance(10);
  EXPECT_EQ(model().sessionCount(), 0);
  EXPECT_THAT(filesIn(store().sessionsDirectory), IsEmpty());
  EXPECT_THAT(filesIn(root_.path() / "Audio"), IsEmpty());
}

TEST_F(RecordingStartTest, TwoStartsInOneMinuteGetDistinctMarkdownNames) {
  startAndWait();
  const std::string first = *model().sessionAt(0).markdownFile;
  // Stopping is not built here: put the model back to idle by hand.
  model().setPhase(LiveModel::Phase::idle);
  startAndWait();
  ASSERT_EQ(model().sessionCount(), 2);
  EXPECT_EQ(first, "2025-03-03 0905 3月3日 9：05 の録音.md");
  EXPECT_EQ(*model().sessionAt(0).markdownFile, "2025-03-03 0905 3月3日 9：05 の録音 2.md");
}

TEST(RecordingNameTest, LongTitlesStayWithinAFileName) {
  std::string title;
  for (int i = 0; i < 300; ++i) title += "議";
  const std::string name = SessionStore::markdownFileName(762844029.0, title + "/:");
  EXPECT_LE(name.size(), 255u);
  EXPECT_TRUE(name.ends_with(".md"));
  EXPECT_EQ(LiveModel::defaultTitle(kMarch3), "3月3日 9:05 の録音");
}

}  // namespace
}  // namespace veltovoice
