#include "app/Model/LiveModel.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include <QCoreApplication>
#include <QCoroTask>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "DevadEvev/LiveTranscriber.h"
#include "platform/audio/AudioEngine.h"
#include "platform/audio/FileAudioInput.h"
#include "platform/audio/FragmentedAac.h"
#include "platform/sys/RepeatingTimer.h"
#include "platform/sys/SerialQueue.h"
#include "tests/support/AppLogCapture.h"
#include "tests/support/EventLoop.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/ManualClock.h"
#include "tests/support/ScriptedSpeechBackend.h"
#include "tests/support/TemporaryFolder.h"

namespace veltovoice {
namespace {

namespace fs = std::filesystem;
using Turn = devadevev::SpeakerDiarizer::Turn;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::Pair;
using ::testing::StartsWith;
using testsupport::ScriptedSpeechBackend;

constexpr std::int64_t kTapFrames = 4096;

// What the test diarizer publishes and how far it got; shared with the test, which may outlive it.
struct DiarizerControl {
  std::mutex mutex;
  std::vector<Turn> turns;             // guarded by mutex: published every 0.5 s and at the end
  std::atomic<bool> holdPrepare = false;  // prepare() waits until this is false again
  std::atomic<bool> holdFinish = false;  // finish() waits until this is false again
  std::atomic<bool> finishing = false;   // finish() has begun
  std::atomic<int> finished = 0;
  std::atomic<std::int64_t> samples = 0;

  void setTurns(std::vector<Turn> next) {
    std::scoped_lock lock(mutex);
    turns = std::move(next);
  }
};

// A diarizer that publishes a fixed list of turns every half second on its own serial queue, and
// once more when it finishes, as the application's diarizer does with what its model found.
class QueueDiarizer : public devadevev::SpeakerDiarizer {
 public:
  explicit QueueDiarizer(std::shared_ptr<DiarizerControl> control) : control_(std::move(control)) {}
  // Cancels on the queue, so that no tick is still publishing while the members go.
  ~QueueDiarizer() override {
    queue_.sync([this] {
      if (timer_) timer_->cancel();
    });
  }

  void prepare(const fs::path&, TurnsHandler onTurns, std::stop_token stop) override {
    while (control_->holdPrepare && !stop.stop_requested()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    onTurns_ = std::move(onTurns);
    timer_ = std::make_unique<platform::RepeatingTimer>(queue_, std::chrono::milliseconds(500),
                                                        [this] { publish(); });
  }
  void append(std::span<const float> samples, double) override {
    control_->samples += static_cast<std::int64_t>(samples.size());
  }
  void finish() override {
    control_->finishing = true;
    queue_.sync([this] { timer_->cancel(); });
    while (control_->holdFinish) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    queue_.sync([this] { publish(); });
    ++control_->finished;
  }
  void cancel() override {
    if (timer_) timer_->cancel();
  }

 private:
  void publish() {
    std::vector<Turn> turns;
    {
      std::scoped_lock lock(control_->mutex);
      turns = control_->turns;
    }
    onTurns_(turns);
  }

  const std::shared_ptr<DiarizerControl> control_;
  platform::SerialQueue queue_{"velto-voice-app.diarizer"};
  TurnsHandler onTurns_;
  std::unique_ptr<platform::RepeatingTimer> timer_;
};

// Holds the file input before the chunk at a chosen frame until the test moves the hold on, so
// that the test acts at exact places in the audio.
struct InputHold {
  std::atomic<std::int64_t> at = -1;
  std::atomic<std::int64_t> heldAt = -1;
  std::atomic<bool> abandoned = false;

  void beforeChunk(std::int64_t frame) {
    if (frame != at) return;
    heldAt = frame;
    while (at == frame && !abandoned) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    heldAt = -1;
  }
};

// Records the model's requests for task extraction and feeds it live results by hand.
class TestModel : public LiveModel {
 public:
  using LiveModel::LiveModel;
  using LiveModel::apply;

  void extractTasksIfNeeded(const QUuid& id, bool live) override {
    extractions.emplace_back(id, live);
    LiveModel::extractTasksIfNeeded(id, live);
  }

  std::vector<std::pair<QUuid, bool>> extractions;
};

// A model over a temporary root with the real store, log, writer and recogniser; the recogniser
// reads a WAV file through the scripted speech backend; the diarizer publishes fixed turns on its
// own queue; the clock moves by hand.
class RecordingStopTest : public ::testing::Test {
 protected:
  ~RecordingStopTest() override {
    hold_->abandoned = true;
    diarizer_->holdPrepare = false;
    diarizer_->holdFinish = false;
    model_.reset();
    QCoreApplication::processEvents();
  }

  // `tapBuffers` buffers of silence at `rate` with 0.6 s bursts at `bursts` (seconds).
  void useInput(double rate, std::int64_t tapBuffers, const std::vector<double>& bursts) {
    inputRate_ = rate;
    const auto frames = static_cast<std::size_t>(tapBuffers * kTapFrames);
    std::vector<float> samples = testsupport::bursts(rate, double(frames) / rate, bursts);
    samples.resize(frames);
    input_ = folder_.path() / "input.wav";
    testsupport::writeEncoded(input_, rate, {samples}, "pcm_f32le");
  }

  void useScript(std::vector<std::string> lines) {
    backend_.reset();
    backend_.emplace(std::make_shared<ScriptedSpeechBackend>(std::move(lines)));
  }

  TestModel& model() {
    if (!model_) {
      if (input_.empty()) useInput(16000, 4, {});
      LiveModelServices services;
      services.clock = clock_;
      services.microphoneAuthorized = [] { return true; };
      services.makeTranscriber = [this] {
        platform::PacedAudioInput::Pacing pacing;
        pacing.speed = 0;
        pacing.chunkFrames = kTapFrames;
        pacing.beforeChunk = [hold = hold_](std::int64_t frame) { hold->beforeChunk(frame); };
        auto input = std::make_unique<platform::FileAudioInput>(input_, pacing);
        currentInput_ = input.get();
        return std::make_unique<devadevev::LiveTranscriber>(
            std::make_unique<platform::AudioEngine>(std::move(input)));
      };
      services.makeDiarizer = [this] { return std::make_unique<QueueDiarizer>(diarizer_); };
      model_ = std::make_unique<TestModel>(root_.path(), services);
      QCoreApplication::processEvents();
    }
    return *model_;
  }

  // Starts a recording whose input waits at its first frame until the start is complete, so that
  // no audio falls before the gate opens.
  QUuid startRecording() {
    hold_->at = 0;
    QCoro::waitFor(model().start());
    EXPECT_EQ(model().phase(), LiveModel::Phase::recording);
    return model().liveID().value_or(QUuid());
  }

  // Lets the input run to its end (or to the next hold).
  void releaseInput(std::int64_t nextHold = -1) { hold_->at = nextHold; }

  void waitForHold(std::int64_t frame) {
    testsupport::processEventsUntil([&] { return hold_->heldAt == frame; });
    ASSERT_EQ(hold_->heldAt, frame);
  }

  // Plays the rest of the input and waits until every buffer has passed the tap.
  void playToEnd() {
    releaseInput();
    currentInput_->waitUntilFinished();
  }


  // The log lines of this test only, also when the tests run in one process.
  std::vector<std::string> logMessages() const { return log_.messages(); }

  SessionStore store() const { return SessionStore::inFolder(root_.path()); }

  std::optional<VoiceSession> storedCopy(const QUuid& id) const {
    for (VoiceSession& s : store().loadAll()) {
      if (s.id == id) return std::move(s);
    }
    return std::nullopt;
  }

  fs::path audioFile(const QUuid& id) { return *store().audioPath(*model().session(id)); }

  std::vector<std::optional<int>> speakersOf(const QUuid& id) {
    std::vector<std::optional<int>> speakers;
    for (const LiveSegment& s : model().session(id)->segments) speakers.push_back(s.speaker);
    return speakers;
  }

  testsupport::AppLogCapture log_;
  int argc_ = 0;
  QCoreApplication app_{argc_, nullptr};
  testsupport::TemporaryFolder root_;
  testsupport::TemporaryFolder folder_;
  std::shared_ptr<testsupport::ManualClock> clock_ = std::make_shared<testsupport::ManualClock>();
  std::shared_ptr<DiarizerControl> diarizer_ = std::make_shared<DiarizerControl>();
  std::shared_ptr<InputHold> hold_ = std::make_shared<InputHold>();
  std::optional<ScriptedSpeechBackend::Installation> backend_{
      std::in_place, std::make_shared<ScriptedSpeechBackend>(std::vector<std::string>{"はい。"})};
  fs::path input_;
  double inputRate_ = 16000;
  platform::PacedAudioInput* currentInput_ = nullptr;  // owned by the running recogniser
  std::unique_ptr<TestModel> model_;
};

// Onsets (seconds) of the bursts in a decoded recording: where the 10 ms level first rises above
// a tenth of the burst level after at least 100 ms of quiet.
std::vector<double> burstOnsets(const testsupport::DecodedAudio& audio) {
  const auto window = static_cast<std::size_t>(audio.sampleRate / 100);
  const std::vector<float>& samples = audio.channels.at(0);
  std::vector<double> onsets;
  int quiet = 10;
  for (std::size_t begin = 0; begin + window <= samples.size(); begin += window) {
    const bool loud = testsupport::rms(samples, begin, begin + window) > 0.03;
    if (loud && quiet >= 10) onsets.push_back(double(begin) / audio.sampleRate);
    quiet = loud ? 0 : quiet + 1;
  }
  return onsets;
}

TEST_F(RecordingStopTest, RecordingEndToEndGivesTimedSentencesWithSpeakersAndAPlayableFile) {
  const std::vector<double> bursts = {1.0, 3.5, 6.0, 8.5};
  useInput(16000, 39, bursts);  // 9.984 s: the tap takes whole buffers of 4096 frames
  useScript({"最初の発言です。", "二番目の発言です。", "三番目の発言です。", "最後の発言です。"});
  diarizer_->setTurns({{0, 0.8, 2.0}, {1, 3.2, 4.4}, {0, 5.8, 7.0}, {2, 8.2, 9.4}});
  const QUuid id = startRecording();
  playToEnd();
  QCoro::waitFor(model().stop());

  const VoiceSession& done = *model().session(id);
  ASSERT_EQ(done.segments.size(), 4u);
  const char* texts[] = {"最初の発言です。", "二番目の発言です。", "三番目の発言です。", "最後の発言です。"};
  for (std::size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(done.segments[i].text, texts[i]);
    ASSERT_TRUE(done.segments[i].start && done.segments[i].end);
    EXPECT_NEAR(*done.segments[i].start, bursts[i], 0.03);
    EXPECT_NEAR(*done.segments[i].end, bursts[i] + 0.6, 0.03);
  }
  EXPECT_THAT(speakersOf(id), ElementsAre(0, 1, 0, 2));

  const double accepted = 39.0 * kTapFrames / 16000;
  const testsupport::DecodedAudio audio = testsupport::readAudioFile(audioFile(id));
  EXPECT_EQ(audio.sampleRate, 48000);
  EXPECT_EQ(audio.channels.size(), 1u);
  EXPECT_NEAR(double(audio.length) / audio.sampleRate, accepted, 0.05);
  ASSERT_TRUE(done.duration.has_value());
  EXPECT_NEAR(*done.duration, accepted, 0.05);
  const std::vector<double> onsets = burstOnsets(audio);
  ASSERT_EQ(onsets.size(), 4u);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_NEAR(onsets[i], *done.segments[i].start, 0.05);

  EXPECT_EQ(storedCopy(id), done);
  EXPECT_EQ(model().phase(), LiveModel::Phase::idle);
  EXPECT_EQ(diarizer_->samples, 39 * kTapFrames);
}

TEST_F(RecordingStopTest, StopFinishesRecogniserThenDiarizerThenWriter) {
  // 149 buffers at 48 kHz: 12.71 s. The second utterance runs to the end of the input, so only
  // finishing the recogniser brings its final result.
  useInput(48000, 149, {2.0, 12.2});
  useScript({"始めます。", "終わります。"});
  diarizer_->setTurns({{1, 1.9, 2.7}, {0, 12.0, 12.8}});
  const QUuid id = startRecording();
  playToEnd();
  testsupport::processEventsUntil([&] { return model().session(id)->segments.size() == 1; });
  ASSERT_EQ(model().session(id)->segments.size(), 1u);
  clock_->advance(2.0);
  ASSERT_EQ(model().elapsed(), 2.0);

  diarizer_->holdFinish = true;
  QCoro::Task<> stopping = model().stop();
  testsupport::processEventsUntil([&] { return diarizer_->finishing.load(); });
  ASSERT_TRUE(diarizer_->finishing);
  // The recogniser has finished and its last sentence is in; the diarizer is finishing; the file
  // is not closed yet (still in the form a crash leaves readable), and nothing else may happen
  // meanwhile.
  EXPECT_EQ(model().phase(), LiveModel::Phase::stopping);
  EXPECT_EQ(model().status(), "文字起こしを確定しています…");
  ASSERT_EQ(model().session(id)->segments.size(), 2u);
  EXPECT_EQ(model().session(id)->segments[1].text, "終わります。");
  EXPECT_EQ(model().volatileText(), "");
  EXPECT_TRUE(platform::FragmentedAac::isCrashSafeForm(audioFile(id)));
  EXPECT_EQ(model().liveID(), id);
  model().togglePause();
  QCoro::waitFor(model().stop());
  QCoro::waitFor(model().startNext());
  EXPECT_EQ(model().phase(), LiveModel::Phase::stopping);
  EXPECT_EQ(model().sessionCount(), 1);
  EXPECT_EQ(diarizer_->finished, 0);

  diarizer_->holdFinish = false;
  QCoro::waitFor(stopping);
  EXPECT_EQ(diarizer_->finished, 1);
  // The final turns arrived while stopping and still reached the conversation.
  EXPECT_THAT(speakersOf(id), ElementsAre(1, 0));
  const VoiceSession& done = *model().session(id);
  EXPECT_EQ(done.duration, 149.0 * kTapFrames / 48000);
  EXPECT_NEAR(double(testsupport::readAudioFile(audioFile(id)).length) / 48000, *done.duration, 0.05);
  EXPECT_THAT(logMessages(), Contains("録音を終了: 会話 " + LiveModel::idText(id) + " 長さ 12秒 2文"));
  EXPECT_EQ(storedCopy(id), done);
  EXPECT_EQ(model().liveID(), std::nullopt);
  EXPECT_EQ(model().phase(), LiveModel::Phase::idle);
  EXPECT_THAT(model().levels(), IsEmpty());
  EXPECT_EQ(model().status(), "");
  EXPECT_EQ(model().elapsed(), 2.0) << "the last recording's time stays until the next start";
  EXPECT_THAT(model().extractions, ElementsAre(Pair(id, true), Pair(id, true), Pair(id, false)));
  EXPECT_EQ(model().selectedID(), id);
}

TEST_F(RecordingStopTest, LeftOverLiveTextBecomesALastSentenceWithoutTimes) {
  struct Case {
    const char* name;
    bool paused;
  };
  for (const Case& c : {Case{"from recording", false}, Case{"from paused", true}}) {
    SCOPED_TRACE(c.name);
    const QUuid id = startRecording();
    playToEnd();
    model().apply(std::vector<Turn>{{0, 0.0, 100.0}});
    model().apply(devadevev::LiveTranscriber::Update{" 言いかけ\n", 0.0, 0.2, false, {}});
    if (c.paused) {
      model().togglePause();
      ASSERT_EQ(model().phase(), LiveModel::Phase::paused);
    }
    QCoro::waitFor(model().stop());
    EXPECT_EQ(model().phase(), LiveModel::Phase::idle);
    EXPECT_EQ(model().volatileText(), "");
    const VoiceSession& done = *model().session(id);
    ASSERT_EQ(done.segments.size(), 1u);
    const LiveSegment& last = done.segments[0];
    EXPECT_EQ(last.text, "言いかけ");
    EXPECT_EQ(last.start, std::nullopt);
    EXPECT_EQ(last.end, std::nullopt);
    EXPECT_EQ(last.speaker, std::nullopt);
    EXPECT_FALSE(last.speakerLocked);
    EXPECT_FALSE(last.edited);
    EXPECT_NEAR(done.duration.value_or(0), 4.0 * kTapFrames / 16000, 0.05);
    EXPECT_THAT(logMessages(), Contains("録音を終了: 会話 " + LiveModel::idText(id) + " 長さ 1秒 1文"));
    EXPECT_EQ(storedCopy(id), done);
  }
}

TEST_F(RecordingStopTest, PausedAudioIsLeftOutAndTimesFollowOnWithoutAGap) {
  // Pause at 2.048 s and resume at 4.096 s of input; the burst at 3.0 s falls into the pause.
  constexpr std::int64_t kPauseAt = 8 * kTapFrames;
  constexpr std::int64_t kResumeAt = 16 * kTapFrames;
  constexpr double kPausedSeconds = double(kResumeAt - kPauseAt) / 16000;
  useInput(16000, 32, {0.5, 3.0, 5.0, 7.0});
  useScript({"一つ目です。", "二つ目です。", "三つ目です。", "四つ目です。"});
  const QUuid id = startRecording();
  releaseInput(kPauseAt);
  waitForHold(kPauseAt);
  clock_->advance(1.0);
  EXPECT_EQ(model().elapsed(), 1.0);

  model().togglePause();
  EXPECT_EQ(model().phase(), LiveModel::Phase::paused);
  releaseInput(kResumeAt);
  waitForHold(kResumeAt);
  clock_->advance(6.0);
  EXPECT_EQ(model().elapsed(), 1.0) << "time stands still while paused";
  EXPECT_FALSE(model().notice().has_value());

  model().togglePause();
  EXPECT_EQ(model().phase(), LiveModel::Phase::recording);
  clock_->advance(0.5);  // no level has arrived since the resume, and none is due yet
  EXPECT_EQ(model().elapsed(), 1.5);
  EXPECT_FALSE(model().notice().has_value()) << "the pause is no silence";
  playToEnd();
  QCoro::waitFor(model().stop());

  const VoiceSession& done = *model().session(id);
  ASSERT_EQ(done.segments.size(), 3u);
  EXPECT_EQ(done.segments[2].text, "三つ目です。") << "the paused burst never reached the recogniser";
  const double expected[] = {0.5, 5.0 - kPausedSeconds, 7.0 - kPausedSeconds};
  const testsupport::DecodedAudio audio = testsupport::readAudioFile(audioFile(id));
  const std::vector<double> onsets = burstOnsets(audio);
  ASSERT_EQ(onsets.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(done.segments[i].start.has_value());
    EXPECT_NEAR(*done.segments[i].start, expected[i], 0.03);
    EXPECT_NEAR(onsets[i], *done.segments[i].start, 0.05);
  }
  const double accepted = double(32 * kTapFrames - (kResumeAt - kPauseAt)) / 16000;
  EXPECT_NEAR(double(audio.length) / audio.sampleRate, accepted, 0.05);
  EXPECT_NEAR(done.duration.value_or(0), accepted, 0.05);
  EXPECT_EQ(diarizer_->samples, 24 * kTapFrames);
}

TEST_F(RecordingStopTest, StopAndPauseOutsideARecordingChangeNothing) {
  QCoro::waitFor(model().stop());
  model().togglePause();
  EXPECT_EQ(model().phase(), LiveModel::Phase::idle);
  EXPECT_EQ(model().sessionCount(), 0);
  EXPECT_THAT(model().extractions, IsEmpty());
  EXPECT_THAT(logMessages(), Not(Contains(StartsWith("録音を終了"))));

  // While starting: the diarizer is still being prepared.
  diarizer_->holdPrepare = true;
  QCoro::Task<> starting = model().start();
  ASSERT_EQ(model().phase(), LiveModel::Phase::starting);
  model().togglePause();
  QCoro::waitFor(model().stop());
  QCoro::waitFor(model().startNext());
  EXPECT_EQ(model().phase(), LiveModel::Phase::starting);
  EXPECT_EQ(model().sessionCount(), 1);
  diarizer_->holdPrepare = false;
  QCoro::waitFor(starting);
  EXPECT_EQ(model().phase(), LiveModel::Phase::recording);
  EXPECT_THAT(model().extractions, IsEmpty());
}

TEST_F(RecordingStopTest, StartNextFinishesTheFirstConversationAndStartsASecond) {
  const QUuid first = startRecording();
  playToEnd();
  model().apply(devadevev::LiveTranscriber::Update{"一件目。", 0.0, 0.2, true, {}});
  clock_->advance(1.5);
  QCoro::waitFor(model().startNext());

  EXPECT_EQ(model().phase(), LiveModel::Phase::recording);
  ASSERT_EQ(model().sessionCount(), 2);
  const QUuid second = model().sessionAt(0).id;
  EXPECT_NE(second, first);
  EXPECT_EQ(model().liveID(), second);
  EXPECT_EQ(model().selectedID(), second);
  EXPECT_EQ(model().elapsed(), 0);
  const std::optional<VoiceSession> saved = storedCopy(first);
  ASSERT_TRUE(saved.has_value());
  EXPECT_EQ(*saved, *model().session(first));
  EXPECT_NEAR(saved->duration.value_or(0), 4.0 * kTapFrames / 16000, 0.05);
  EXPECT_EQ(saved->segments.size(), 1u);
  EXPECT_THAT(model().extractions, Contains(Pair(first, false)));

  // After a stop the model starts again at once.
  playToEnd();
  QCoro::waitFor(model().stop());
  const QUuid third = startRecording();
  EXPECT_NE(third, second);
  EXPECT_EQ(model().sessionCount(), 3);
}

TEST_F(RecordingStopTest, AStopWhoseSaveFailsStillEndsIdleWithTheSaveNotice) {
  const QUuid id = startRecording();
  playToEnd();
  fs::remove_all(store().sessionsDirectory);
  std::ofstream(store().sessionsDirectory) << "not a folder";
  QCoro::waitFor(model().stop());
  EXPECT_EQ(model().phase(), LiveModel::Phase::idle);
  EXPECT_EQ(model().liveID(), std::nullopt);
  ASSERT_TRUE(model().notice().has_value());
  EXPECT_THAT(model().notice()->text, StartsWith("保存できませんでした: "));
  EXPECT_THAT(logMessages(), Contains(StartsWith("保存の失敗: 会話 " + LiveModel::idText(id))));
  EXPECT_TRUE(model().session(id)->duration.has_value()) << "kept in memory";
}

}  // namespace
}  // namespace veltovoice
