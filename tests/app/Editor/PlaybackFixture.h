#pragma once

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "app/Editor/AudioPlayback.h"
#include "platform/audio/AudioPlayer.h"
#include "tests/app/Editor/WidgetTestApplication.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/TemporaryFolder.h"

namespace veltovoice::testing {

// An AudioPlayback whose players play into the null sink at `speed` times real time, counting how
// often a recording was opened, and recordings made in a temporary folder.
class PlaybackTest : public ::testing::Test {
 protected:
  void SetUp() override { widgetApplication(); }

  AudioPlayback& playback(double speed = 40) {
    if (!playback_) {
      playback_ = std::make_unique<AudioPlayback>([this, speed](const std::filesystem::path& path) {
        ++opened_;
        platform::AudioPlayer::Options options;
        options.output = platform::AudioPlayer::Options::Output::nullSink;
        options.nullSinkSpeed = speed;
        return std::make_unique<platform::AudioPlayer>(path, options);
      });
    }
    return *playback_;
  }

  // `seconds` of a quiet tone as AAC in MPEG-4, index first so that a cut copy still opens.
  std::filesystem::path recording(const std::string& name, double seconds, double sampleRate = 16000) {
    const auto plain = folder_ / ("plain-" + name);
    const auto frames = static_cast<std::size_t>(seconds * sampleRate);
    testsupport::writeAac(plain, sampleRate, {testsupport::sine(440, sampleRate, frames, 0.2f)}, 32000);
    const auto path = folder_ / name;
    testsupport::remuxIndexFirst(plain, path);
    std::filesystem::remove(plain);
    return path;
  }

  // `seconds` of the tone as 16-bit WAV at 8 kHz: long recordings made quickly.
  std::filesystem::path longRecording(const std::string& name, double seconds) {
    const auto path = folder_ / name;
    const auto frames = static_cast<std::size_t>(seconds * 8000);
    testsupport::writeEncoded(path, 8000, {testsupport::sine(440, 8000, frames, 0.2f)}, "pcm_s16le");
    return path;
  }

  std::filesystem::path textFile(const std::string& name, const std::string& bytes) {
    const auto path = folder_ / name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  testsupport::TemporaryFolder folder_;
  std::unique_ptr<AudioPlayback> playback_;
  int opened_ = 0;
};

}  // namespace veltovoice::testing
