#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <QCoreApplication>
#include <QCoroTask>
#include <QLocale>
#include <gtest/gtest.h>

#include "DevadEvev/LiveTranscriber.h"
#include "DevadEvev/SpeakerDiarizer.h"
#include "app/Model/LiveModel.h"
#include "app/Model/SessionStore.h"
#include "app/Model/UserLocale.h"
#include "platform/audio/AudioEngine.h"
#include "platform/audio/GeneratorAudioInput.h"
#include "platform/lm/SystemLanguageModel.h"
#include "tests/app/Editor/WidgetTestApplication.h"
#include "tests/support/EventLoop.h"
#include "tests/support/ManualClock.h"
#include "tests/support/RecordingDesktop.h"
#include "tests/support/ScriptedSpeechBackend.h"
#include "tests/support/TemporaryFolder.h"

namespace veltovoice::testing {

// The conversation model with the fields only its own operations write opened up, so that a test
// can put it in any phase and show any level history.
class ShellModel : public LiveModel {
 public:
  using LiveModel::LiveModel;
  using LiveModel::editSession;
  using LiveModel::insertSession;
  using LiveModel::removeSessions;
  using LiveModel::setElapsed;
  using LiveModel::setLevels;
  using LiveModel::setLiveID;
  using LiveModel::setPhase;
  using LiveModel::setStatus;
  using LiveModel::setVolatileText;
};

// A diarizer that never finds a speaker; its preparation waits while the test holds `held`.
class QuietDiarizer : public devadevev::SpeakerDiarizer {
 public:
  explicit QuietDiarizer(std::shared_ptr<std::atomic<bool>> held) : held_(std::move(held)) {}
  void prepare(const std::filesystem::path&, TurnsHandler, std::stop_token stop) override {
    while (*held_ && !stop.stop_requested()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  void append(std::span<const float>, double) override {}
  void finish() override {}
  void cancel() override {}

 private:
  std::shared_ptr<std::atomic<bool>> held_;
};

inline LiveSegment sentence(std::string text, std::optional<int> speaker = std::nullopt) {
  LiveSegment segment;
  segment.text = std::move(text);
  segment.speaker = speaker;
  return segment;
}

// A real model over a temporary root with stored conversations, a hand-driven clock, a recording
// desktop and clipboard, and a recogniser on a silent generator input with the scripted speech
// backend, so that start() really records. Widgets run in the offscreen application.
class ShellTest : public ::testing::Test {
 protected:
  ShellTest() {
    widgetApplication();
    QLocale::setDefault(QLocale(QLocale::Japanese, QLocale::Japan));
  }

  ~ShellTest() override {
    model_.reset();
    QCoreApplication::processEvents();
  }

  // Stores a conversation before the model is made; returns it as stored.
  VoiceSession stored(const std::string& title, double startedAt, std::vector<LiveSegment> segments = {},
                      bool withRecording = true) {
    EXPECT_FALSE(model_) << "conversations are stored before the model loads them";
    VoiceSession session;
    session.title = title;
    session.startedAt = startedAt;
    session.segments = std::move(segments);
    if (withRecording) session.audioFile = LiveModel::idText(session.id) + ".m4a";
    session.markdownFile = LiveModel::idText(session.id) + ".md";
    SessionStore::inFolder(root_.path()).save(session);
    return session;
  }

  ShellModel& model() {
    if (!model_) {
      LiveModelServices services;
      services.clock = clock_;
      services.desktop = desktop_;
      services.clipboard = clipboard_;
      services.microphoneAuthorized = [this] { return microphone_; };
      services.makeTranscriber = [frames = inputFrames_] {
        return std::make_unique<devadevev::LiveTranscriber>(std::make_unique<platform::AudioEngine>(
            std::make_unique<platform::GeneratorAudioInput>(
                16000, 1, frames, [](std::int64_t frame, std::uint32_t) {
                  return 0.2f * static_cast<float>(frame % 40 < 20 ? 1 : -1);
                })));
      };
      services.makeDiarizer = [this] { return std::make_unique<QuietDiarizer>(diarizerHeld_); };
      if (languageModel_) services.languageModel = languageModel_;
      model_ = std::make_unique<ShellModel>(root_.path(), services);
      QCoreApplication::processEvents();
    }
    return *model_;
  }

  // Starts a real recording and waits until it runs.
  void record() {
    QCoro::waitFor(model().start());
    ASSERT_EQ(model().phase(), LiveModel::Phase::recording);
  }


  testsupport::TemporaryFolder root_;
  std::shared_ptr<testsupport::ManualClock> clock_ = std::make_shared<testsupport::ManualClock>();
  std::shared_ptr<testsupport::RecordingDesktop> desktop_ = std::make_shared<testsupport::RecordingDesktop>();
  std::shared_ptr<testsupport::MemoryClipboard> clipboard_ = std::make_shared<testsupport::MemoryClipboard>();
  testsupport::ScriptedSpeechBackend::Installation backend_{
      std::make_shared<testsupport::ScriptedSpeechBackend>(std::vector<std::string>{})};
  // The language model the model uses; the default (not enabled) when null.
  std::shared_ptr<platform::SystemLanguageModel> languageModel_;
  // Whether the machine has a microphone to record with.
  bool microphone_ = true;
  // Frames of a quiet tone the recording's input delivers at real time; none by default.
  std::int64_t inputFrames_ = 0;
  // While true, a start stays in its preparation (the phase stays starting).
  std::shared_ptr<std::atomic<bool>> diarizerHeld_ = std::make_shared<std::atomic<bool>>(false);
  std::unique_ptr<ShellModel> model_;
};

}  // namespace veltovoice::testing
