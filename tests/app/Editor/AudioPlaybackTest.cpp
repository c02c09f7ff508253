#include "app/Editor/AudioPlayback.h"

#include <cmath>
#include <filesystem>
#include <optional>

#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include "tests/app/Editor/PlaybackFixture.h"

namespace veltovoice {
namespace {

using AudioPlaybackTest = testing::PlaybackTest;

// Every published change of one AudioPlayback.
struct Spies {
  explicit Spies(AudioPlayback& p)
      : isPlaying(&p, &AudioPlayback::isPlayingChanged),
        position(&p, &AudioPlayback::positionChanged),
        duration(&p, &AudioPlayback::durationChanged),
        loaded(&p, &AudioPlayback::loadedChanged) {}
  int total() const { return isPlaying.count() + position.count() + duration.count() + loaded.count(); }

  QSignalSpy isPlaying, position, duration, loaded;
};

void expectEmpty(const AudioPlayback& p) {
  EXPECT_FALSE(p.loaded());
  EXPECT_FALSE(p.isPlaying());
  EXPECT_EQ(p.duration(), 0.0);
  EXPECT_EQ(p.position(), 0.0);
}

TEST_F(AudioPlaybackTest, LoadOpensPausedAtTheStart) {
  AudioPlayback& p = playback();
  p.load(recording("one.m4a", 2.0));
  EXPECT_TRUE(p.loaded());
  EXPECT_FALSE(p.isPlaying());
  EXPECT_NEAR(p.duration(), 2.0, 1e-9);
  EXPECT_EQ(p.position(), 0.0);
}

TEST_F(AudioPlaybackTest, UnreadableRecordingsLeaveNothingOpenAndSayNothing) {
  const std::filesystem::path paths[] = {
      folder_ / "missing.m4a",
      textFile("empty.m4a", ""),
      textFile("corrupt.m4a", std::string("\0\0\0\x18" "ftypM4A ", 12) + std::string(3000, '\x33')),
      textFile("minutes.mp3", "# minutes\n- nothing here is audio\n"),
  };
  for (const auto& path : paths) {
    SCOPED_TRACE(path.filename().string());
    AudioPlayback p([](const std::filesystem::path& file) {
      platform::AudioPlayer::Options options;
      options.output = platform::AudioPlayer::Options::Output::nullSink;
      return std::make_unique<platform::AudioPlayer>(file, options);
    });
    Spies spies(p);
    p.load(path);
    expectEmpty(p);
    EXPECT_EQ(spies.total(), 0);
    // Nothing open: seeks and play requests are ignored.
    p.seek(3, true);
    p.play();
    expectEmpty(p);
    EXPECT_EQ(spies.total(), 0);
  }
}

TEST_F(AudioPlaybackTest, LoadingNothingBeforeAnythingPublishesNothing) {
  AudioPlayback& p = playback();
  Spies spies(p);
  p.load(std::nullopt);
  expectEmpty(p);
  EXPECT_EQ(spies.total(), 0);
  EXPECT_EQ(opened_, 0);
}

TEST_F(AudioPlaybackTest, LoadingNothingAfterARecordingEmptiesEverything) {
  AudioPlayback& p = playback(0.01);
  p.load(recording("one.m4a", 2.0));
  p.seek(1.5, true);
  ASSERT_TRUE(p.isPlaying());
  p.load(std::nullopt);
  expectEmpty(p);
}

TEST_F(AudioPlaybackTest, TheSameReadableLocationIsNotReopened) {
  AudioPlayback& p = playback(0.01);
  const auto path = recording("one.m4a", 3.0);
  p.load(path);
  p.seek(1.25, true);
  ASSERT_TRUE(p.isPlaying());
  Spies spies(p);
  p.load(path);
  EXPECT_EQ(opened_, 1);
  EXPECT_TRUE(p.isPlaying());
  EXPECT_EQ(p.position(), 1.25);
  EXPECT_EQ(spies.total(), 0);
}

TEST_F(AudioPlaybackTest, ALocationThatFailedIsTriedAgain) {
  AudioPlayback& p = playback();
  const auto path = folder_ / "late.m4a";
  p.load(path);
  EXPECT_FALSE(p.loaded());
  std::filesystem::rename(recording("made.m4a", 1.0), path);
  p.load(path);
  EXPECT_EQ(opened_, 2);
  EXPECT_TRUE(p.loaded());
  EXPECT_NEAR(p.duration(), 1.0, 1e-9);
}

TEST_F(AudioPlaybackTest, AnotherRecordingStopsTheFirstAndDoesNotStartByItself) {
  AudioPlayback& p = playback(0.01);
  p.load(recording("one.m4a", 2.0));
  p.seek(1.0, true);
  ASSERT_TRUE(p.isPlaying());
  p.load(recording("two.m4a", 3.0));
  EXPECT_TRUE(p.loaded());
  EXPECT_FALSE(p.isPlaying());
  EXPECT_EQ(p.position(), 0.0);
  EXPECT_NEAR(p.duration(), 3.0, 1e-9);
}

TEST_F(AudioPlaybackTest, SeeksAreClampedToTheRecording) {
  AudioPlayback& p = playback();
  p.load(recording("one.m4a", 2.0));
  struct Case {
    const char* name;
    double time;
    double expected;
  };
  const Case cases[] = {
      {"inside", 1.5, 1.5},
      {"negative", -3, 0},
      {"notANumber", std::nan(""), 0},
      {"pastTheEnd", 2.0 + 100, 2.0},
      {"huge", 1e300, 2.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    p.seek(c.time, false);
    EXPECT_EQ(p.position(), c.expected);
    EXPECT_FALSE(p.isPlaying());
  }
}

TEST_F(AudioPlaybackTest, SeekWithPlayStartsAtTheTimeOrOnlyMovesWhilePlaying) {
  AudioPlayback& p = playback(0.01);
  p.load(recording("one.m4a", 3.0));
  QSignalSpy started(&p, &AudioPlayback::isPlayingChanged);
  p.seek(1.0, true);
  EXPECT_TRUE(p.isPlaying());
  EXPECT_EQ(p.position(), 1.0);
  p.seek(2.5, true);
  EXPECT_TRUE(p.isPlaying());
  EXPECT_EQ(p.position(), 2.5);
  EXPECT_EQ(started.count(), 1);
}

TEST_F(AudioPlaybackTest, PlayingToTheEndStopsAtTheNextTick) {
  AudioPlayback& p = playback();
  p.load(recording("one.m4a", 1.0));
  p.play();
  ASSERT_TRUE(p.isPlaying());
  ASSERT_TRUE(QTest::qWaitFor([&] { return !p.isPlaying(); }, 10000));
  EXPECT_TRUE(p.loaded());
  EXPECT_DOUBLE_EQ(p.position(), 1.0);
  // Playing again starts over.
  p.play();
  EXPECT_TRUE(p.isPlaying());
}

TEST_F(AudioPlaybackTest, PauseKeepsTheRecordingAndThePosition) {
  AudioPlayback& p = playback(0.01);
  p.load(recording("one.m4a", 2.0));
  p.seek(0.5, true);
  p.pause();
  EXPECT_FALSE(p.isPlaying());
  EXPECT_TRUE(p.loaded());
  EXPECT_EQ(p.position(), 0.5);
}

TEST_F(AudioPlaybackTest, RecordingCutShortWhilePlayingEndsAtTheNextTick) {
  AudioPlayback& p = playback(20);
  const auto path = recording("long.m4a", 30.0);
  p.load(path);
  std::filesystem::resize_file(path, std::filesystem::file_size(path) / 3);
  p.play();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !p.isPlaying(); }, 20000));
  EXPECT_TRUE(p.loaded());
  EXPECT_LT(p.position(), 30.0);
}

}  // namespace
}  // namespace veltovoice
