#include "speech/Shared/AudioConverter.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <numbers>

#include "platform/audio/AudioError.h"
#include "platform/audio/MediaSampleBuffer.h"
#include "platform/audio/PcmBuffer.h"
#include "platform/text/DoubleText.h"
#include "speech/Shared/AudioConverterError.h"
#include "speech/Shared/AudioWAV.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/SystemLogCapture.h"
#include "tests/support/TemporaryFolder.h"

namespace tesselaudio {
namespace {

using platform::AudioFormat;
using platform::CommonFormat;
using platform::MediaSampleBuffer;
using platform::PcmBuffer;
using testsupport::floatBuffer;
using testsupport::sine;
using Case = AudioConverterError::Case;

void writeBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
}

// The tone among 500 Hz to 2 kHz (10 Hz steps) that `samples` holds most of.
double strongestTone(const std::vector<float>& samples, double rate) {
  double best = 0;
  double bestMagnitude = -1;
  for (double f = 500; f <= 2000; f += 10) {
    const double magnitude = testsupport::toneMagnitude(samples, f, rate);
    if (magnitude > bestMagnitude) {
      bestMagnitude = magnitude;
      best = f;
    }
  }
  return best;
}

double decibels(double ratio) { return 20 * std::log10(ratio); }

template <typename F>
void expectConverterError(F&& call, Case expected) {
  try {
    call();
    ADD_FAILURE() << "no error";
  } catch (const AudioConverterError& e) {
    EXPECT_EQ(e.errorCase(), expected) << e.description();
  }
}

class AudioConverterTest : public ::testing::Test {
 protected:
  testsupport::TemporaryFolder folder_;
  AudioConverter converter_;
};

TEST_F(AudioConverterTest, DefaultTargetIsSixteenKilohertzMonoFloat) {
  EXPECT_EQ(converter_.targetFormat(), AudioFormat::float32(16000, 1));
  EXPECT_FALSE(converter_.debug());
  AudioConverter custom(24000, true);
  EXPECT_EQ(custom.targetFormat(), AudioFormat::float32(24000, 1));
  EXPECT_TRUE(custom.debug());
}

TEST_F(AudioConverterTest, AacFileBecomesSixteenKilohertzMonoKeepingToneAndLevel) {
  const std::size_t frames = 10 * 44100;
  const std::vector<float> tone = sine(1000, 44100, frames, 0.4f);
  testsupport::writeAac(folder_ / "tone.m4a", 44100, {tone, tone});

  const std::vector<float> samples = converter_.resampleAudioFile(folder_ / "tone.m4a");
  EXPECT_NEAR(static_cast<double>(samples.size()), 160000.0, 160000.0 * 0.005);
  EXPECT_EQ(strongestTone(samples, 16000), 1000);
  const double level = testsupport::rms(samples, 1600, samples.size() - 1600);
  const double source = testsupport::rms(tone, 4410, frames - 4410);
  EXPECT_NEAR(decibels(level / source), 0.0, 0.5);
}

TEST_F(AudioConverterTest, WavAtTheTargetRateSkipsTheConverter) {
  const std::vector<float> written = {0.5f, -0.25f, 0.125f, 0.0f, -1.0f};
  writeBytes(folder_ / "16k.wav", AudioWAV::data(written, 16000, false));
  const std::vector<float> samples = converter_.resampleAudioFile(folder_ / "16k.wav");
  ASSERT_EQ(samples.size(), written.size());
  for (std::size_t i = 0; i < written.size(); ++i) {
    // The file holds value × 32,767 truncated; the decoder gives that ÷ 32,768.
    EXPECT_EQ(samples[i], std::trunc(written[i] * 32767.0f) / 32768.0f) << i;
  }

  writeBytes(folder_ / "empty.wav", AudioWAV::data({}, 16000, false));
  EXPECT_TRUE(converter_.resampleAudioFile(folder_ / "empty.wav").empty());
}

TEST_F(AudioConverterTest, AnyFailedReadFailsTheWholeFile) {
  // A 5 s recording with its index first, cut short: reads of one second each run into the cut.
  testsupport::writeAac(folder_ / "whole.m4a", 48000, {sine(440, 48000, 5 * 48000)});
  testsupport::remuxIndexFirst(folder_ / "whole.m4a", folder_ / "index-first.m4a");
  const auto size = std::filesystem::file_size(folder_ / "index-first.m4a");
  struct Case {
    const char* name;
    double keep;  // share of the file left
  };
  const Case cases[] = {{"first read fails", 0.1}, {"a later read fails", 0.45}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::copy_file(folder_ / "index-first.m4a", folder_ / "cut.m4a",
                               std::filesystem::copy_options::overwrite_existing);
    std::filesystem::resize_file(folder_ / "cut.m4a", static_cast<std::uintmax_t>(size * c.keep));
    try {
      converter_.resampleAudioFile(folder_ / "cut.m4a");
      ADD_FAILURE() << "a damaged file came back as shorter audio";
    } catch (const platform::AudioError& e) {
      EXPECT_EQ(e.code(), platform::AudioError::readFailed) << e.description();
    }
  }
}

TEST_F(AudioConverterTest, FilesThatAreNoAudioFailToOpen) {
  std::ofstream(folder_ / "notes.m4a") << "meeting notes, not audio\n";
  auto bogus = AudioWAV::data(std::vector<float>(100, 0.1f), 16000, false);
  std::memcpy(bogus.data() + 12, "junk", 4);  // the format chunk is gone
  bogus[20] = 0x55;
  writeBytes(folder_ / "bogus.wav", bogus);
  for (const char* name : {"notes.m4a", "bogus.wav", "missing.wav"}) {
    SCOPED_TRACE(name);
    try {
      converter_.resampleAudioFile(folder_ / name);
      ADD_FAILURE() << "read";
    } catch (const platform::AudioError& e) {
      EXPECT_EQ(e.code(), platform::AudioError::cannotOpen) << e.description();
      EXPECT_THAT(e.description(), ::testing::HasSubstr(name));
    }
  }
}

TEST_F(AudioConverterTest, ArrayResampleKeepsEqualRatesAndEmptyInputUntouched) {
  EXPECT_TRUE(converter_.resample({}, 48000).empty());
  const std::vector<float> same = {0.1f, std::nanf(""), 7.0f};
  const std::vector<float> back = converter_.resample(same, 16000);
  ASSERT_EQ(back.size(), 3u);
  EXPECT_EQ(back[0], 0.1f);
  EXPECT_TRUE(std::isnan(back[1]));
  EXPECT_EQ(back[2], 7.0f);  // not clamped
}

TEST_F(AudioConverterTest, LongArraysPassThroughSlicesWithoutSeams) {
  const std::size_t count = 3'000'000;
  const std::vector<float> samples = converter_.resample(sine(440, 48000, count, 0.5f), 48000);
  EXPECT_NEAR(static_cast<double>(samples.size()), 1'000'000.0, 10.0);
  // The whole output follows the ideal 16 kHz sine, across the seams at multiples of 1,048,576
  // input samples as elsewhere.
  const std::vector<float> ideal = sine(440, 16000, samples.size(), 0.5f);
  double worst = 0;
  for (std::size_t i = 100; i + 100 < samples.size(); ++i) {
    worst = std::max(worst, static_cast<double>(std::fabs(samples[i] - ideal[i])));
  }
  EXPECT_LT(worst, 1e-3);
}

TEST_F(AudioConverterTest, BufferInTheTargetFormatGivesChannelZeroAsIs) {
  const std::vector<float> values = {0.25f, -3.0f, 0.5f};
  EXPECT_EQ(converter_.resampleBuffer(*floatBuffer(16000, {values})), values);
}

TEST_F(AudioConverterTest, StereoBufferGoesThroughTheConverter) {
  const std::vector<float> tone = sine(1000, 44100, 44100, 0.4f);
  const std::vector<float> samples = converter_.resampleBuffer(*floatBuffer(44100, {tone, tone}));
  EXPECT_NEAR(static_cast<double>(samples.size()), 16000.0, 16.0);
  EXPECT_EQ(strongestTone(samples, 16000), 1000);
  EXPECT_NEAR(decibels(testsupport::rms(samples, 800, 15000) / testsupport::rms(tone, 2205, 41000)), 0.0, 0.5);
}

TEST_F(AudioConverterTest, ThreeOrMoreChannelsAverageAndResampleLinearly) {
  struct Example {
    const char* name;
    double rate;
    testsupport::Channels channels;
    std::vector<float> expected;
  };
  // Channel values whose averages are the m values below: (a + b + c) / 3.
  const Example examples[] = {
      {"3 channels, 48 kHz to 16 kHz, 10 frames",
       48000,
       {{0, 3, 6, 9, 12, 15, 18, 21, 24, 27}, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
       {0, 3, 6}},
      {"3 channels, 8 kHz to 16 kHz", 8000, {{0.3f, 0.6f, 1.2f}, {0, 0, 0}, {0, 0, 0}}, {0.1f, 0.15f, 0.2f, 0.3f, 0.4f, 0.4f}},
      {"4 channels at equal rates average", 16000, {{1, 2}, {3, 4}, {5, 6}, {7, 8}}, {4, 5}},
  };
  for (const Example& e : examples) {
    SCOPED_TRACE(e.name);
    const std::vector<float> samples = converter_.resampleBuffer(*floatBuffer(e.rate, e.channels));
    ASSERT_EQ(samples.size(), e.expected.size());
    for (std::size_t i = 0; i < samples.size(); ++i) EXPECT_NEAR(samples[i], e.expected[i], 1e-6) << i;
  }

  auto interleaved = PcmBuffer::make(*AudioFormat::make(CommonFormat::pcmFormatFloat32, 48000, 4, true), 8);
  interleaved->setFrameLength(8);
  expectConverterError([&] { converter_.resampleBuffer(*interleaved); }, Case::failedToCreateBuffer);
}

TEST_F(AudioConverterTest, DebugLinesOnlyWhenAskedAndOnlyWhenTheRateChanges) {
  AudioConverter loud(std::nullopt, true);
  const auto stereo = floatBuffer(44100, {sine(440, 44100, 4410), sine(440, 44100, 4410)});
  const auto fourAt48k = floatBuffer(48000, {{1, 1, 1}, {1, 1, 1}, {1, 1, 1}, {1, 1, 1}});
  const auto fourAt16k = floatBuffer(16000, {{1, 1, 1}, {1, 1, 1}, {1, 1, 1}, {1, 1, 1}});

  testsupport::SystemLogCapture capture;
  converter_.resampleBuffer(*stereo);
  converter_.resample(sine(440, 48000, 4800), 48000);
  EXPECT_TRUE(capture.records().empty());

  const auto converted = loud.resampleBuffer(*stereo);
  const auto resampled = loud.resample(sine(440, 48000, 4800), 48000);
  loud.resampleBuffer(*fourAt48k);
  loud.resampleBuffer(*fourAt16k);
  loud.resample(sine(440, 16000, 1600), 16000);
  using platform::SystemLog::Level;
  using platform::SystemLog::Record;
  const std::string subsystem = AppLogger::defaultSubsystem();
  using platform::text::shortestDouble;
  EXPECT_THAT(capture.records(),
              ::testing::ElementsAre(
                  Record{Level::debug, subsystem, "AudioConverter",
                         "Audio conversion: 4410 samples → " + std::to_string(converted.size()) +
                             " samples, ratio: " + shortestDouble(converted.size() / 4410.0)},
                  Record{Level::debug, subsystem, "AudioConverter",
                         "Audio resample: 4800 samples → " + std::to_string(resampled.size()) +
                             " samples, ratio: " + shortestDouble(resampled.size() / 4800.0)},
                  Record{Level::debug, subsystem, "AudioConverter",
                         "Manual resampling: 4 channels → mono, 48000.0Hz → 16000.0Hz"}));
}

MediaSampleBuffer int16Stereo(const std::vector<std::int16_t>& interleaved, double rate) {
  MediaSampleBuffer buffer;
  buffer.formatDescription = platform::AudioStreamBasicDescription::interleavedPCM(rate, 2, false);
  buffer.numSamples = static_cast<std::int64_t>(interleaved.size() / 2);
  buffer.data.resize(interleaved.size() * 2);
  if (!interleaved.empty()) std::memcpy(buffer.data.data(), interleaved.data(), buffer.data.size());
  return buffer;
}

TEST_F(AudioConverterTest, SampleBuffersAreCopiedThenConverted) {
  const MediaSampleBuffer sampleBuffer = int16Stereo({100, -100, 200, -200, 300, -300}, 16000);
  auto pcm = converter_.extractAVAudioPCMBuffer(sampleBuffer);
  EXPECT_EQ(pcm->format(), *AudioFormat::make(CommonFormat::pcmFormatInt16, 16000, 2, true));
  EXPECT_EQ(pcm->frameLength(), 3u);
  const auto* copied = static_cast<const std::int16_t*>(pcm->audioBufferList()[0].data);
  EXPECT_EQ(std::vector<std::int16_t>(copied, copied + 6), (std::vector<std::int16_t>{100, -100, 200, -200, 300, -300}));

  // Left and right cancel in the average; a tone on the left alone survives at half its level.
  std::vector<std::int16_t> toneLeft;
  for (float v : sine(1000, 48000, 48000, 0.5f)) {
    toneLeft.push_back(static_cast<std::int16_t>(v * 32767));
    toneLeft.push_back(0);
  }
  const std::vector<float> mono = converter_.resampleSampleBuffer(int16Stereo(toneLeft, 48000));
  EXPECT_NEAR(static_cast<double>(mono.size()), 16000.0, 16.0);
  EXPECT_EQ(strongestTone(mono, 16000), 1000);
  EXPECT_NEAR(testsupport::rms(mono, 800, 15000), 0.25 / std::sqrt(2.0), 0.01);

  MediaSampleBuffer empty = int16Stereo({}, 16000);
  EXPECT_EQ(converter_.extractAVAudioPCMBuffer(empty)->frameLength(), 0u);
}

TEST_F(AudioConverterTest, SampleBufferFailures) {
  MediaSampleBuffer noFormat = int16Stereo({1, 2}, 16000);
  noFormat.formatDescription.reset();
  expectConverterError([&] { converter_.resampleSampleBuffer(noFormat); }, Case::sampleBufferFormatMissing);

  MediaSampleBuffer compressed = int16Stereo({1, 2}, 16000);
  compressed.formatDescription->mFormatID = 0x61616320;  // 'aac '
  expectConverterError([&] { converter_.resampleSampleBuffer(compressed); }, Case::failedToCreateSourceFormat);

  MediaSampleBuffer zeroRate = int16Stereo({1, 2}, 0);
  expectConverterError([&] { converter_.extractAVAudioPCMBuffer(zeroRate); }, Case::failedToCreateSourceFormat);

  MediaSampleBuffer short_ = int16Stereo({1, 2, 3, 4}, 16000);
  short_.numSamples = 5;
  try {
    converter_.extractAVAudioPCMBuffer(short_);
    ADD_FAILURE() << "copied more samples than there are";
  } catch (const AudioConverterError& e) {
    EXPECT_EQ(e.errorCase(), Case::sampleBufferCopyFailed);
    EXPECT_EQ(e.status(), MediaSampleBuffer::kErrorArrayTooSmall);
    EXPECT_EQ(e.description(), "Failed to copy samples from CMSampleBuffer (status: -12737)");
  }
}

TEST(AudioConverterErrorTest, DescriptionsAndCodes) {
  struct Row {
    AudioConverterError error;
    Case errorCase;
    const char* description;
  };
  const Row rows[] = {
      {AudioConverterError::conversionFailed(), Case::conversionFailed, "Audio conversion failed: Unknown error"},
      {AudioConverterError::conversionFailed(std::make_exception_ptr(std::runtime_error("bad rate"))),
       Case::conversionFailed, "Audio conversion failed: bad rate"},
      {AudioConverterError::sampleBufferCopyFailed(-12731), Case::sampleBufferCopyFailed,
       "Failed to copy samples from CMSampleBuffer (status: -12731)"},
      {AudioConverterError::failedToCreateConverter(), Case::failedToCreateConverter, "Failed to create audio converter"},
      {AudioConverterError::failedToCreateBuffer(), Case::failedToCreateBuffer, "Failed to create conversion buffer"},
      {AudioConverterError::sampleBufferFormatMissing(), Case::sampleBufferFormatMissing,
       "Sample buffer is missing a valid audio format description."},
      {AudioConverterError::failedToCreateSourceFormat(), Case::failedToCreateSourceFormat,
       "Failed to create a source audio format description for CMSampleBuffer."},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.description);
    EXPECT_EQ(row.error.errorCase(), row.errorCase);
    EXPECT_EQ(row.error.code(), static_cast<int>(row.errorCase));
    EXPECT_EQ(row.error.domain(), "TesselAudio.AudioConverterError");
    EXPECT_EQ(row.error.description(), row.description);
    EXPECT_STREQ(row.error.what(), row.description);
  }
}

}  // namespace
}  // namespace tesselaudio
