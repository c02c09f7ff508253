#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <QCoreApplication>
#include <gtest/gtest.h>

#include "app/Editor/AudioPlayback.h"
#include "app/Shell/MainView.h"
#include "platform/audio/AudioPlayer.h"
#include "tests/app/Shell/ShellFixture.h"
#include "tests/support/AudioFixtures.h"

namespace veltovoice::testing {

// 2025-03-03 09:05:00 in Tokyo, in seconds since 2001.
constexpr double kMarch3 = 1740960300.0 - 978307200.0;

// The main window's content over the shell's real model, with a player whose recordings play into
// the null sink and which notes every file it opens.
class MainWindowTest : public ShellTest {
 protected:
  ~MainWindowTest() override {
    view_.reset();
    player_.reset();
  }

  AudioPlayback& player() {
    if (!player_) {
      player_ = std::make_unique<AudioPlayback>([this](const std::filesystem::path& path) {
        opened_.push_back(path);
        platform::AudioPlayer::Options options;
        options.output = platform::AudioPlayer::Options::Output::nullSink;
        return std::make_unique<platform::AudioPlayer>(path, options);
      });
    }
    return *player_;
  }

  // The content shown at its window size, the events of its first appearance handled.
  MainView& view() {
    if (!view_) {
      view_ = std::make_unique<MainView>(model(), player());
      view_->resize(1320, 800);
      view_->show();
      QCoreApplication::processEvents();
    }
    return *view_;
  }

  std::filesystem::path audioPath(const VoiceSession& session) const {
    return root_.path() / "Audio" / *session.audioFile;
  }

  // A second of a quiet tone at the conversation's recording location.
  void writeRecording(const VoiceSession& session) {
    std::filesystem::create_directories(root_.path() / "Audio");
    testsupport::writeAac(audioPath(session), 16000, {testsupport::sine(440, 16000, 16000, 0.2f)}, 32000);
  }

  // A stored conversation whose recording exists on disk.
  VoiceSession storedWithRecording(const std::string& title, double startedAt) {
    VoiceSession session = stored(title, startedAt);
    writeRecording(session);
    return session;
  }

  std::unique_ptr<AudioPlayback> player_;
  std::unique_ptr<MainView> view_;
  std::vector<std::filesystem::path> opened_;
};

}  // namespace veltovoice::testing
