#include "platform/audio/AudioEngine.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <vector>

#include "platform/audio/AudioError.h"
#include "platform/audio/DeviceAudioInput.h"
#include "platform/audio/FileAudioInput.h"
#include "platform/audio/GeneratorAudioInput.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/TemporaryFolder.h"

namespace platform {
namespace {

// Collects what a tap receives, per channel, with the size of each buffer.
struct TapLog {
  std::mutex mutex;
  std::vector<std::uint32_t> sizes;
  std::vector<std::vector<float>> channels;

  AudioInputNode::TapBlock block() {
    return [this](const PcmBuffer& buffer) {
      std::scoped_lock lock(mutex);
      sizes.push_back(buffer.frameLength());
      channels.resize(buffer.format().channelCount());
      for (std::uint32_t c = 0; c < buffer.format().channelCount(); ++c)
        channels[c].insert(channels[c].end(), buffer.floatChannelData()[c],
                           buffer.floatChannelData()[c] + buffer.frameLength());
    };
  }
};

float ramp(std::int64_t frame, std::uint32_t channel) {
  return float(frame % 1000) / 1000.0f + float(channel);
}

TEST(AudioEngineTest, TapGetsTheInputInBuffersOfItsSizeAndFormat) {
  auto input = std::make_unique<GeneratorAudioInput>(
      44100, 2, 10000, ramp, PacedAudioInput::Pacing{0, 1000, nullptr});
  auto* generator = input.get();
  AudioEngine engine(std::move(input));
  const auto format = engine.inputNode().outputFormat(0);
  ASSERT_TRUE(format);
  EXPECT_EQ(*format, AudioFormat::float32(44100, 2));

  TapLog log;
  engine.inputNode().installTap(0, 4096, *format, log.block());
  engine.start();
  generator->waitUntilFinished();
  engine.stop();

  // 10000 frames make two full buffers; the rest waits for more input.
  EXPECT_EQ(log.sizes, (std::vector<std::uint32_t>{4096, 4096}));
  for (std::uint32_t c = 0; c < 2; ++c)
    for (std::int64_t i = 0; i < 8192; i += 997) EXPECT_FLOAT_EQ(log.channels[c][i], ramp(i, c));
}

TEST(AudioEngineTest, RemovedTapGetsNothingMore) {
  auto input = std::make_unique<GeneratorAudioInput>(
      16000, 1, 20000, ramp, PacedAudioInput::Pacing{0, 512, nullptr});
  auto* generator = input.get();
  AudioEngine engine(std::move(input));
  TapLog log;
  engine.inputNode().installTap(0, 4096, *engine.inputNode().outputFormat(0), log.block());
  engine.inputNode().removeTap(0);
  engine.start();
  generator->waitUntilFinished();
  engine.stop();
  EXPECT_TRUE(log.sizes.empty());
}

TEST(AudioEngineTest, FileInputPlaysAnFfmpegMadeFileThroughOnceAndResumesAfterStop) {
  testsupport::TemporaryFolder folder;
  const auto path = folder / "tone.m4a";
  testsupport::writeAac(path, 48000, {testsupport::sine(440, 48000, 48000)});

  std::vector<std::int64_t> chunkStarts;
  auto input = std::make_unique<FileAudioInput>(
      path, PacedAudioInput::Pacing{50, 2048, [&](std::int64_t at) { chunkStarts.push_back(at); }});
  auto* file = input.get();
  AudioEngine engine(std::move(input));
  EXPECT_EQ(*engine.inputNode().outputFormat(0), AudioFormat::float32(48000, 1));
  EXPECT_TRUE(engine.captureAuthorized());

  TapLog log;
  engine.inputNode().installTap(0, 4096, *engine.inputNode().outputFormat(0), log.block());
  engine.start();
  file->waitUntilFinished();
  engine.stop();
  EXPECT_EQ(file->framePosition(), 48000);
  EXPECT_EQ(log.sizes.size(), 48000u / 4096u);
  ASSERT_FALSE(chunkStarts.empty());
  EXPECT_EQ(chunkStarts.front(), 0);
  EXPECT_EQ(chunkStarts[1], 2048);
}

TEST(AudioEngineTest, InputWithoutUsableFormatHasNoneAndDoesNotStart) {
  struct Case {
    const char* name;
    double rate;
    std::uint32_t channels;
  };
  for (const Case c : {Case{"no rate", 0, 1}, Case{"no channels", 16000, 0},
                       Case{"negative rate", -1, 2}}) {
    SCOPED_TRACE(c.name);
    AudioEngine engine(std::make_unique<GeneratorAudioInput>(c.rate, c.channels, 100, ramp));
    EXPECT_FALSE(engine.inputNode().outputFormat(0));
    EXPECT_THROW(engine.start(), AudioError);
    EXPECT_FALSE(engine.isRunning());
  }
}

TEST(AudioEngineTest, ConfigurationChangeReachesObserversUntilRemoved) {
  AudioEngine engine(std::make_unique<GeneratorAudioInput>(16000, 1, 0, ramp));
  int first = 0;
  int second = 0;
  const auto token = engine.addConfigurationChangeObserver([&] { ++first; });
  engine.addConfigurationChangeObserver([&] { ++second; });
  engine.notifyConfigurationChange();
  engine.removeConfigurationChangeObserver(token);
  engine.notifyConfigurationChange();
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 2);
}

TEST(AudioEngineTest, DefaultDeviceDeliversWhenOneExists) {
  if (!DeviceAudioInput::deviceExists()) GTEST_SKIP() << "no capture device";
  AudioEngine engine;
  EXPECT_TRUE(engine.captureAuthorized());
  const auto format = engine.inputNode().outputFormat(0);
  ASSERT_TRUE(format);
  std::mutex mutex;
  std::condition_variable arrived;
  int buffers = 0;
  engine.inputNode().installTap(0, 4096, *format, [&](const PcmBuffer&) {
    std::scoped_lock lock(mutex);
    ++buffers;
    arrived.notify_all();
  });
  engine.start();
  {
    std::unique_lock lock(mutex);
    arrived.wait_for(lock, std::chrono::seconds(5), [&] { return buffers > 0; });
  }
  engine.stop();
  EXPECT_GT(buffers, 0);
}

TEST(AudioEngineTest, WithoutDeviceCaptureIsDenied) {
  if (DeviceAudioInput::deviceExists()) GTEST_SKIP() << "a capture device exists";
  AudioEngine engine;
  EXPECT_FALSE(engine.captureAuthorized());
  EXPECT_FALSE(engine.inputNode().outputFormat(0));
  EXPECT_THROW(engine.start(), AudioError);
}

}  // namespace
}  // namespace platform
