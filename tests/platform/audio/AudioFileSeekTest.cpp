#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <vector>

#include "DevadEvev/RecordingWriter.h"
#include "platform/audio/AudioError.h"
#include "platform/audio/AudioFile.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/TemporaryFolder.h"

namespace platform {
namespace {

// `frames` frames of `file` from `position`, channel 0.
std::vector<float> readAt(AudioFile& file, std::int64_t position, std::uint32_t frames) {
  file.setFramePosition(position);
  auto buffer = PcmBuffer::make(file.processingFormat(), frames);
  file.read(*buffer, frames);
  EXPECT_EQ(file.framePosition(), position + buffer->frameLength());
  const float* plane = buffer->floatChannelData()[0];
  return {plane, plane + buffer->frameLength()};
}

// A file of `seconds` of silence with a click at frame `click`; returns the frames encoded.
using ClickWriter =
    std::function<std::int64_t(const std::filesystem::path&, double rate, std::size_t frames, std::size_t click)>;

std::int64_t encodeWith(const char* encoder, const std::filesystem::path& path, double rate,
                        std::size_t frames, std::size_t click) {
  testsupport::writeEncoded(path, rate, {testsupport::click(frames, click)}, encoder);
  return static_cast<std::int64_t>(frames);
}

std::int64_t recordWithWriter(const std::filesystem::path& path, double, std::size_t frames,
                              std::size_t click) {
  const auto samples = testsupport::click(frames, click);
  devadevev::RecordingWriter writer(path);
  for (std::size_t at = 0; at < frames; at += 4096) {
    const auto end = std::min(frames, at + 4096);
    writer.append(*testsupport::floatBuffer(
        devadevev::RecordingWriter::kSampleRate,
        {std::vector<float>(samples.begin() + long(at), samples.begin() + long(end))}));
  }
  writer.finish();
  return writer.framesWritten();
}

TEST(AudioFileSeekTest, ClickReadsBackAtItsFrameFromAnyEarlierPosition) {
  struct Case {
    const char* name;
    const char* file;
    double rate;
    ClickWriter write;
    bool exactLength;  // the container records the frames encoded
  };
  using namespace std::placeholders;
  const Case cases[] = {
      {"aac in mpeg-4", "a.m4a", 48000, [](auto p, double r, auto f, auto c) {
         testsupport::writeAac(p, r, {testsupport::click(f, c)});
         return std::int64_t(f);
       }, true},
      {"aac at 44.1 kHz", "b.m4a", 44100, [](auto p, double r, auto f, auto c) {
         testsupport::writeAac(p, r, {testsupport::click(f, c)});
         return std::int64_t(f);
       }, true},
      {"recording writer", "recording.m4a", 48000, recordWithWriter, true},
      {"wav", "c.wav", 44100, std::bind(encodeWith, "pcm_s16le", _1, _2, _3, _4), true},
      {"flac", "d.flac", 48000, std::bind(encodeWith, "flac", _1, _2, _3, _4), true},
      {"mp3", "e.mp3", 48000, std::bind(encodeWith, "libmp3lame", _1, _2, _3, _4), false},
  };
  testsupport::TemporaryFolder folder;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto frames = static_cast<std::size_t>(12 * c.rate) + 77;
    const std::size_t click = static_cast<std::size_t>(7 * c.rate) + 123;
    const std::int64_t encoded = c.write(folder / c.file, c.rate, frames, click);

    AudioFile file(folder / c.file);
    if (c.exactLength) {
      EXPECT_EQ(file.length(), encoded);
    }
    const auto n = static_cast<std::int64_t>(click);
    // Backwards and forwards, near and far, from the start and from just before the click.
    for (std::int64_t from : {n - 1, n - 1000, n - 5000, std::int64_t{0}, n - 16384, n / 2,
                              n - 100000, std::int64_t{1}, n - 9000}) {
      SCOPED_TRACE(from);
      const auto samples = readAt(file, from, static_cast<std::uint32_t>(n + 1000 - from));
      const auto found = from + static_cast<std::int64_t>(testsupport::peakIndex(samples));
      EXPECT_NEAR(found, n, 2);
      EXPECT_GT(std::fabs(samples[static_cast<std::size_t>(found - from)]), 0.3f);
    }
  }
}

TEST(AudioFileSeekTest, SeekingGivesTheSamplesOfAStraightRead) {
  testsupport::TemporaryFolder folder;
  const double rate = 48000;
  const auto tone = testsupport::sine(523.25, rate, 9 * 48000);
  testsupport::writeAac(folder / "tone.m4a", rate, {tone, testsupport::sine(330, rate, 9 * 48000)});
  const auto straight = testsupport::readAudioFile(folder / "tone.m4a");

  AudioFile file(folder / "tone.m4a");
  for (std::int64_t from : {std::int64_t{300000}, std::int64_t{4097}, std::int64_t{123456},
                            std::int64_t{431999}, std::int64_t{0}, std::int64_t{200001}}) {
    SCOPED_TRACE(from);
    file.setFramePosition(from);
    auto buffer = PcmBuffer::make(file.processingFormat(), 3000);
    file.read(*buffer, 3000);
    for (std::uint32_t ch = 0; ch < 2; ++ch) {
      const float* plane = buffer->floatChannelData()[ch];
      double worst = 0;
      for (std::uint32_t i = 0; i < buffer->frameLength(); ++i) {
        worst = std::max(worst, double(std::fabs(plane[i] - straight.channels[ch][from + i])));
      }
      EXPECT_LT(worst, 1e-3) << "channel " << ch;
    }
  }
}

TEST(AudioFileSeekTest, PositionsOutsideTheFileAreClamped) {
  testsupport::TemporaryFolder folder;
  testsupport::writeAac(folder / "a.m4a", 48000, {testsupport::sine(440, 48000, 48000)});
  AudioFile file(folder / "a.m4a");
  auto buffer = PcmBuffer::make(file.processingFormat(), 100);

  file.setFramePosition(file.length() + 5000);
  EXPECT_EQ(file.framePosition(), file.length());
  file.read(*buffer, 100);
  EXPECT_EQ(buffer->frameLength(), 0u);

  file.setFramePosition(-20);
  EXPECT_EQ(file.framePosition(), 0);
  file.read(*buffer, 100);
  EXPECT_EQ(buffer->frameLength(), 100u);
}

TEST(AudioFileSeekTest, SeekIntoTheMissingPartOfACutFileFailsTheRead) {
  testsupport::TemporaryFolder folder;
  testsupport::writeAac(folder / "whole.m4a", 48000, {testsupport::sine(440, 48000, 10 * 48000)});
  testsupport::remuxIndexFirst(folder / "whole.m4a", folder / "cut.m4a");
  std::filesystem::resize_file(folder / "cut.m4a", std::filesystem::file_size(folder / "cut.m4a") / 2);

  AudioFile file(folder / "cut.m4a");
  ASSERT_EQ(file.length(), 10 * 48000);
  auto buffer = PcmBuffer::make(file.processingFormat(), 4800);
  file.setFramePosition(8 * 48000);
  try {
    file.read(*buffer, 4800);
    ADD_FAILURE() << "read audio that is not in the file";
  } catch (const AudioError& e) {
    EXPECT_EQ(e.code(), AudioError::readFailed) << e.description();
  }
  // What is there still reads.
  file.setFramePosition(2 * 48000);
  file.read(*buffer, 4800);
  EXPECT_EQ(buffer->frameLength(), 4800u);
  EXPECT_NEAR(testsupport::rms(std::vector<float>(buffer->floatChannelData()[0],
                                                  buffer->floatChannelData()[0] + 4800),
                               0, 4800),
              0.5 / std::sqrt(2.0), 0.02);
}

}  // namespace
}  // namespace platform
