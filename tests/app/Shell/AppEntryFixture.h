#pragma once

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <QAbstractButton>
#include <QAction>
#include <QPushButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <gtest/gtest.h>

#include "DevadEvev/LiveTranscriber.h"
#include "DevadEvev/SpeakerDiarizer.h"
#include "app/Model/AppLog.h"
#include "app/Shell/AppDelegate.h"
#include "app/Shell/RecordingCommands.h"
#include "platform/audio/AudioEngine.h"
#include "platform/audio/AudioPlayer.h"
#include "platform/audio/FileAudioInput.h"
#include "platform/sys/FileIO.h"
#include "tests/app/Editor/WidgetTestApplication.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/EventLoop.h"
#include "tests/support/ManualClock.h"
#include "tests/support/RecordingDesktop.h"
#include "tests/support/ScriptedSpeechBackend.h"
#include "tests/support/TemporaryFolder.h"

namespace veltovoice::testing {

// Holds shared between a test and the parts it hands to the model, which may outlive the test's
// interest in them.
struct Holds {
  std::atomic<bool> prepare = false;  // the diarizer's preparation waits while set
  std::atomic<bool> finish = false;   // the diarizer's finishing waits while set
  std::atomic<bool> finishing = false;
  std::atomic<std::int64_t> inputAt = -1;  // the input waits before the chunk at this frame
  std::atomic<bool> abandoned = false;     // every hold lets go
};

// A diarizer that finds no speakers and waits where the test holds it.
class HeldDiarizer : public devadevev::SpeakerDiarizer {
 public:
  explicit HeldDiarizer(std::shared_ptr<Holds> holds) : holds_(std::move(holds)) {}
  void prepare(const std::filesystem::path&, TurnsHandler, std::stop_token stop) override {
    while (holds_->prepare && !holds_->abandoned && !stop.stop_requested()) pause();
  }
  void append(std::span<const float>, double) override {}
  void finish() override {
    holds_->finishing = true;
    while (holds_->finish && !holds_->abandoned) pause();
  }
  void cancel() override {}

 private:
  static void pause() { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }
  std::shared_ptr<Holds> holds_;
};

// The application delegate over a temporary data folder and preferences, with a real model whose
// recogniser reads a WAV file through the scripted speech backend, the real writer and store, a
// player into the null sink, a recording desktop and a clipboard in memory.
class AppEntryTest : public ::testing::Test {
 protected:
  static constexpr std::int64_t kTapFrames = 4096;

  AppEntryTest() {
    // The log and the preferences read these once, on first use.
    setenv("XDG_DATA_HOME", data_.path().c_str(), 1);
    setenv("XDG_CONFIG_HOME", config_.path().c_str(), 1);
    unsetenv("VELTOVOICE_DEMO");
    widgetApplication();
  }

  ~AppEntryTest() override {
    holds_->abandoned = true;
    poll_.reset();
    delegate_.reset();
    QCoreApplication::processEvents();
  }

  // The model's folder.
  std::filesystem::path root() const { return data_.path() / "VeltoVoice"; }

  AppDelegate::Setup setup() {
    AppDelegate::Setup made;
    made.root = root();
    made.services.clock = clock_;
    made.services.microphoneAuthorized = [] { return true; };
    made.services.makeTranscriber = [this] {
      if (input_.empty()) useInput(4, {});
      platform::PacedAudioInput::Pacing pacing;
      pacing.speed = 0;
      pacing.chunkFrames = kTapFrames;
      pacing.beforeChunk = [holds = holds_](std::int64_t frame) {
        while (holds->inputAt == frame && !holds->abandoned) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
      };
      auto input = std::make_unique<platform::FileAudioInput>(input_, pacing);
      currentInput_ = input.get();
      return std::make_unique<devadevev::LiveTranscriber>(
          std::make_unique<platform::AudioEngine>(std::move(input)));
    };
    made.services.makeDiarizer = [holds = holds_] { return std::make_unique<HeldDiarizer>(holds); };
    made.desktop = desktop_;
    made.clipboard = clipboard_;
    made.makePlayer = [](const std::filesystem::path& path) {
      platform::AudioPlayer::Options options;
      options.output = platform::AudioPlayer::Options::Output::nullSink;
      return std::make_unique<platform::AudioPlayer>(path, options);
    };
    return made;
  }

  AppDelegate& delegate() {
    if (!delegate_) {
      delegate_ = std::make_unique<AppDelegate>(setup());
      QObject::connect(delegate_.get(), &AppDelegate::quitReady, [this] { ++quitReady_; });
    }
    return *delegate_;
  }

  // Launches a new delegate (the one before goes first, as a process ends).
  AppDelegate& relaunch() {
    delegate_.reset();
    delegate().launch();
    return *delegate_;
  }

  // `tapBuffers` buffers of silence at 16 kHz with 0.6 s bursts at `bursts` (seconds); a burst
  // may run past the end, so that only finishing the recogniser gives its sentence.
  void useInput(std::int64_t tapBuffers, const std::vector<double>& bursts, double burstSeconds = 0.6) {
    const auto frames = static_cast<std::size_t>(tapBuffers * kTapFrames);
    std::vector<float> samples = testsupport::bursts(16000, double(frames) / 16000, bursts, burstSeconds);
    samples.resize(frames);
    input_ = folder_.path() / "input.wav";
    testsupport::writeEncoded(input_, 16000, {samples}, "pcm_f32le");
  }

  // Starts a recording through the menu with the input held at its first frame until the
  // recording runs, so that the whole input reaches the file.
  QUuid startRecording() {
    holds_->inputAt = 0;
    delegate().recordingCommands()->start()->trigger();
    testsupport::processEventsUntil([&] { return model().phase() == LiveModel::Phase::recording; });
    EXPECT_EQ(model().phase(), LiveModel::Phase::recording);
    holds_->inputAt = -1;
    return model().liveID().value_or(QUuid());
  }

  // Lets the input play to its end and waits until its sentences are in and the live text shows
  // the utterance still open at the end, if any.
  void playToEnd(std::size_t sentences, bool openAtEnd) {
    currentInput_->waitUntilFinished();
    testsupport::processEventsUntil([&] {
      const VoiceSession* live = model().liveID() ? model().session(*model().liveID()) : nullptr;
      return live && live->segments.size() == sentences && model().volatileText().empty() != openAtEnd;
    });
  }

  LiveModel& model() { return delegate().live(); }

  // Runs `act` on the next modal message box once it is open, after noting its texts.
  void whenQuestionOpens(std::function<void(QMessageBox&)> act) {
    poll_ = std::make_unique<QTimer>();
    QObject::connect(poll_.get(), &QTimer::timeout, poll_.get(), [this, act] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box) return;
      poll_->stop();
      questionTexts_ = {box->text(), box->informativeText()};
      act(*box);
    });
    poll_->start(5);
  }

  // Clicks the button titled `title` of the next modal message box.
  void answerNextQuestion(const QString& title) {
    whenQuestionOpens([title](QMessageBox& box) {
      for (QAbstractButton* button : box.buttons()) {
        if (button->text() == title) button->click();
      }
    });
  }

  // Requests the end and waits for it.
  bool quitAndWait(AppDelegate::QuitRequest request) {
    delegate().requestQuit(request);
    return testsupport::processEventsUntil([&] { return quitReady_ > 0; });
  }

  std::vector<std::string> logMessages() const {
    AppLog::flush();
    std::vector<std::string> messages;
    const std::filesystem::path file = AppLog::directory() / "veltovoice.log";
    if (!std::filesystem::exists(file)) return messages;
    std::istringstream in(platform::readFile(file));
    for (std::string line; std::getline(in, line);) {
      const std::size_t version = line.find("] v");
      messages.push_back(line.substr(line.find(' ', version + 3) + 1));
    }
    return messages;
  }

  std::optional<VoiceSession> storedCopy(const QUuid& id) const {
    for (VoiceSession& s : SessionStore::inFolder(root()).loadAll()) {
      if (s.id == id) return std::move(s);
    }
    return std::nullopt;
  }

  testsupport::TemporaryFolder data_;
  testsupport::TemporaryFolder config_;
  testsupport::TemporaryFolder folder_;
  std::shared_ptr<testsupport::ManualClock> clock_ = std::make_shared<testsupport::ManualClock>();
  std::shared_ptr<testsupport::RecordingDesktop> desktop_ = std::make_shared<testsupport::RecordingDesktop>();
  std::shared_ptr<testsupport::MemoryClipboard> clipboard_ = std::make_shared<testsupport::MemoryClipboard>();
  std::shared_ptr<Holds> holds_ = std::make_shared<Holds>();
  std::optional<testsupport::ScriptedSpeechBackend::Installation> backend_{
      std::in_place, std::make_shared<testsupport::ScriptedSpeechBackend>(std::vector<std::string>{
                         "最初の発言です。", "録音の最後の発言です。"})};
  std::filesystem::path input_;
  platform::PacedAudioInput* currentInput_ = nullptr;  // owned by the running recogniser
  std::unique_ptr<AppDelegate> delegate_;
  int quitReady_ = 0;
  std::vector<QString> questionTexts_;
  std::unique_ptr<QTimer> poll_;
};

}  // namespace veltovoice::testing
