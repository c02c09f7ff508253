#include "platform/audio/AudioPlayer.h"

#include <cmath>
#include <fstream>
#include <limits>
#include <string>

#include <QCoreApplication>
#include <QTest>
#include <gtest/gtest.h>

#include "platform/audio/AudioError.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/TemporaryFolder.h"

namespace platform {
namespace {

QCoreApplication& application() {
  static int argc = 1;
  static char name[] = "player_tests";
  static char* argv[] = {name, nullptr};
  static auto* app = new QCoreApplication(argc, argv);
  return *app;
}

AudioPlayer::Options fastNullSink() {
  AudioPlayer::Options options;
  options.output = AudioPlayer::Options::Output::nullSink;
  options.nullSinkSpeed = 40;
  return options;
}

void writeBytes(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

class AudioPlayerTest : public ::testing::Test {
 protected:
  void SetUp() override { application(); }

  // One second of a 440 Hz tone at 48 kHz, mono, through FFmpeg's `encoder`.
  std::filesystem::path tone(const std::string& name, const char* encoder) {
    const auto path = folder_ / name;
    const testsupport::Channels channels = {testsupport::sine(440, 48000, 48000)};
    if (std::string(encoder) == "aac") {
      testsupport::writeAac(path, 48000, channels);
    } else {
      testsupport::writeEncoded(path, 48000, channels, encoder);
    }
    return path;
  }

  testsupport::TemporaryFolder folder_;
};

TEST_F(AudioPlayerTest, OpensCommonFormatsWithoutPlaying) {
  struct Case {
    const char* name;
    const char* file;
    const char* encoder;
    double tolerance;  // MP3 pads its last frame
  };
  const Case cases[] = {
      {"aacInMpeg4", "tone.m4a", "aac", 1e-9},
      {"wav", "tone.wav", "pcm_s16le", 1e-9},
      {"mp3", "tone.mp3", "libmp3lame", 0.05},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AudioPlayer player(tone(c.file, c.encoder), fastNullSink());
    EXPECT_TRUE(player.prepareToPlay());
    EXPECT_NEAR(player.duration(), 1.0, c.tolerance);
    EXPECT_EQ(player.currentTime(), 0.0);
    EXPECT_FALSE(player.isPlaying());
  }
}

TEST_F(AudioPlayerTest, UnreadableFilesThrowAudioErrors) {
  writeBytes(folder_ / "empty.m4a", "");
  writeBytes(folder_ / "corrupt.m4a", std::string("\0\0\0\x18" "ftypM4A ", 12) + std::string(4000, '\x5a'));
  writeBytes(folder_ / "notes.wav", "meeting notes, not audio\n");
  for (const char* name : {"missing.m4a", "empty.m4a", "corrupt.m4a", "notes.wav"}) {
    SCOPED_TRACE(name);
    EXPECT_THROW(AudioPlayer(folder_ / name, fastNullSink()), AudioError);
  }
}

TEST_F(AudioPlayerTest, CurrentTimeIsClampedToTheRecording) {
  AudioPlayer player(tone("tone.m4a", "aac"), fastNullSink());
  struct Case {
    const char* name;
    double set;
    double expected;
  };
  const Case cases[] = {
      {"inside", 0.25, 0.25},
      {"negative", -3, 0},
      {"notANumber", std::nan(""), 0},
      {"beyondTheEnd", 101, 1.0},
      {"infinite", std::numeric_limits<double>::infinity(), 1.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    player.setCurrentTime(c.set);
    EXPECT_DOUBLE_EQ(player.currentTime(), c.expected);
  }
}

TEST_F(AudioPlayerTest, NullSinkPlaysToTheEndAndStartsOverFromThere) {
  AudioPlayer player(tone("tone.m4a", "aac"), fastNullSink());
  player.setCurrentTime(0.5);
  ASSERT_TRUE(player.play());
  EXPECT_TRUE(player.isPlaying());
  ASSERT_TRUE(QTest::qWaitFor([&] { return !player.isPlaying(); }, 10000));
  EXPECT_DOUBLE_EQ(player.currentTime(), 1.0);

  ASSERT_TRUE(player.play());
  EXPECT_LT(player.currentTime(), 1.0);
  EXPECT_TRUE(player.isPlaying());
}

TEST_F(AudioPlayerTest, PauseKeepsTheTimeAndSeekingWhilePlayingGoesOn) {
  AudioPlayer player(tone("tone.m4a", "aac"), AudioPlayer::Options{AudioPlayer::Options::Output::nullSink, 0.05});
  ASSERT_TRUE(player.play());
  player.setCurrentTime(0.75);
  EXPECT_TRUE(player.isPlaying());
  QTest::qWait(30);
  player.pause();
  EXPECT_FALSE(player.isPlaying());
  const double paused = player.currentTime();
  EXPECT_GE(paused, 0.75);
  QTest::qWait(30);
  EXPECT_EQ(player.currentTime(), paused);
}

}  // namespace
}  // namespace platform
