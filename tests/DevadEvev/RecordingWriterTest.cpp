#include "DevadEvev/RecordingWriter.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avformat.h>
}

#include <cmath>

#include "platform/audio/AudioError.h"
#include "platform/audio/PcmBuffer.h"
#include "tests/support/AudioFixtures.h"
#include "tests/support/TemporaryFolder.h"

namespace devadevev {
namespace {

using platform::AudioFormat;
using platform::PcmBuffer;
using testsupport::Channels;
using testsupport::floatBuffer;
using testsupport::sine;

class RecordingWriterTest : public ::testing::Test {
 protected:
  std::filesystem::path url() const { return folder_ / "F0E1D2C3-0000-4000-8000-000000000001.m4a"; }

  // Appends `channels` at `rate` in tap-sized buffers of 4096 frames.
  static void appendInBuffers(RecordingWriter& writer, double rate, const Channels& channels) {
    for (std::size_t start = 0; start < channels[0].size(); start += 4096) {
      const std::size_t end = std::min(channels[0].size(), start + 4096);
      Channels piece;
      for (const auto& channel : channels) piece.emplace_back(channel.begin() + start, channel.begin() + end);
      writer.append(*floatBuffer(rate, piece));
    }
  }

  testsupport::TemporaryFolder folder_;
};

TEST_F(RecordingWriterTest, WritesMonoAacAt48kHzAnd96kbps) {
  RecordingWriter writer(url());
  EXPECT_EQ(writer.url(), url());
  appendInBuffers(writer, 48000, {sine(440, 48000, 10 * 48000)});
  EXPECT_DOUBLE_EQ(writer.finish(), 10.0);
  EXPECT_EQ(writer.framesWritten(), 480000);

  AVFormatContext* format = nullptr;
  ASSERT_EQ(avformat_open_input(&format, url().c_str(), nullptr, nullptr), 0);
  ASSERT_GE(avformat_find_stream_info(format, nullptr), 0);
  ASSERT_EQ(format->nb_streams, 1u);
  const AVCodecParameters* codec = format->streams[0]->codecpar;
  EXPECT_EQ(codec->codec_id, AV_CODEC_ID_AAC);
  EXPECT_EQ(codec->sample_rate, 48000);
  EXPECT_EQ(codec->ch_layout.nb_channels, 1);
  EXPECT_NEAR(static_cast<double>(codec->bit_rate), 96000.0, 96000.0 * 0.15);
  avformat_close_input(&format);

  EXPECT_EQ(testsupport::readAudioFile(url()).length, 480000);
}

TEST_F(RecordingWriterTest, StereoInputWritesTheFirstChannelOnly) {
  RecordingWriter writer(url());
  const std::vector<float> left = sine(440, 48000, 4800, 0.5f);
  const std::vector<float> right = sine(3000, 48000, 4800, 0.9f);
  writer.append(*floatBuffer(48000, {left, right}));
  EXPECT_DOUBLE_EQ(writer.finish(), 0.1);

  const auto decoded = testsupport::readAudioFile(url());
  ASSERT_EQ(decoded.channels.size(), 1u);
  ASSERT_EQ(decoded.channels[0].size(), 4800u);
  std::vector<float> difference(4800);
  for (std::size_t i = 0; i < 4800; ++i) difference[i] = decoded.channels[0][i] - left[i];
  // The right channel's loud tone would leave a residue near its own level.
  EXPECT_LT(testsupport::rms(difference, 1024, 3800), 0.02);
}

TEST_F(RecordingWriterTest, ConvertsOtherRatesWithOneConverterPerInputFormat) {
  struct Case {
    const char* name;
    std::vector<std::pair<double, std::size_t>> parts;  // rate, frames
  };
  const Case cases[] = {
      {"44.1 kHz throughout", {{44100, 441000}}},
      {"44.1 kHz, then another microphone at 16 kHz", {{44100, 88200}, {16000, 32000}}},
      {"44.1 kHz, then 48 kHz", {{44100, 88200}, {48000, 96000}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingWriter writer(url());
    double expected = 0;
    double heldAtMost = 0;  // what each converter may keep at the end of its stretch
    for (auto [rate, frames] : c.parts) {
      appendInBuffers(writer, rate, {sine(440, rate, frames)});
      expected += frames / rate;
      if (rate != 48000) heldAtMost += 0.010;
    }
    const double seconds = writer.finish();
    EXPECT_LE(seconds, expected + 0.001);
    EXPECT_GE(seconds, expected - heldAtMost);
    EXPECT_EQ(testsupport::readAudioFile(url()).length, writer.framesWritten());
  }
}

TEST_F(RecordingWriterTest, ClickComesBackAtItsPlace) {
  struct Case {
    const char* name;
    double rate;
    std::size_t at;
  };
  const Case cases[] = {{"48 kHz", 48000, 30011}, {"44.1 kHz", 44100, 30011}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingWriter writer(url());
    appendInBuffers(writer, c.rate, {testsupport::click(2 * 48000, c.at)});
    writer.finish();
    const auto decoded = testsupport::readAudioFile(url());
    const double found = static_cast<double>(testsupport::peakIndex(decoded.channels[0])) / 48000.0;
    const double placed = static_cast<double>(c.at) / c.rate;
    if (c.rate == 48000) {
      EXPECT_NEAR(found * 48000, static_cast<double>(c.at), 2.0);
    } else {
      EXPECT_NEAR(found, placed, 0.001);
    }
  }
}

TEST_F(RecordingWriterTest, FinishRightAwayLeavesAnEmptyFileFFmpegOpens) {
  RecordingWriter writer(url());
  EXPECT_EQ(writer.finish(), 0.0);
  AVFormatContext* format = nullptr;
  ASSERT_EQ(avformat_open_input(&format, url().c_str(), nullptr, nullptr), 0);
  EXPECT_GE(avformat_find_stream_info(format, nullptr), 0);
  avformat_close_input(&format);
}

TEST_F(RecordingWriterTest, NothingChangesAfterFinish) {
  RecordingWriter writer(url());
  writer.append(*floatBuffer(48000, {sine(440, 48000, 4800)}));
  const double first = writer.finish();
  const auto size = std::filesystem::file_size(url());
  writer.append(*floatBuffer(48000, {sine(440, 48000, 4800)}));
  EXPECT_EQ(writer.finish(), first);
  EXPECT_EQ(writer.framesWritten(), 4800);
  EXPECT_EQ(std::filesystem::file_size(url()), size);
}

TEST_F(RecordingWriterTest, IgnoresBuffersWithoutFloatPlanesOrFrames) {
  RecordingWriter writer(url());
  auto int16 = PcmBuffer::make(*AudioFormat::make(platform::CommonFormat::pcmFormatInt16, 48000, 1, false), 4096);
  int16->setFrameLength(4096);
  auto interleaved =
      PcmBuffer::make(*AudioFormat::make(platform::CommonFormat::pcmFormatFloat32, 48000, 2, true), 4096);
  interleaved->setFrameLength(4096);
  auto empty = PcmBuffer::make(AudioFormat::float32(48000, 1), 4096);
  writer.append(*int16);
  writer.append(*interleaved);
  writer.append(*empty);
  EXPECT_EQ(writer.finish(), 0.0);
}

TEST_F(RecordingWriterTest, CreationFailsWithAClearErrorOfOurs) {
  std::filesystem::create_directory(folder_ / "folder.m4a");
  for (const auto& path : {folder_ / "Audio" / "missing.m4a", folder_ / "folder.m4a"}) {
    SCOPED_TRACE(path.string());
    try {
      RecordingWriter writer(path);
      ADD_FAILURE() << "created";
    } catch (const platform::AudioError& e) {
      EXPECT_EQ(e.code(), platform::AudioError::cannotCreate);
      EXPECT_NE(e.description().find(path.string()), std::string::npos) << e.description();
    }
  }
}

TEST_F(RecordingWriterTest, ReleasedWithoutFinishDropsWhatIsQueued) {
  auto writer = std::make_unique<RecordingWriter>(url());
  for (int i = 0; i < 50; ++i) writer->append(*floatBuffer(44100, {sine(440, 44100, 4096)}));
  writer.reset();
  EXPECT_TRUE(std::filesystem::exists(url()));
}

}  // namespace
}  // namespace devadevev
