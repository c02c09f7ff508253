#include "platform/audio/Converter.h"

#include <gtest/gtest.h>

#include <cmath>

#include "tests/support/AudioFixtures.h"

namespace platform {
namespace {

using testsupport::floatBuffer;
using testsupport::sine;
using Status = Converter::OutputStatus;
using Input = Converter::InputStatus;

// Converts `input` in one go, to the end of the stream, through output buffers of `capacity`.
std::vector<float> convertWhole(Converter& converter, const PcmBuffer& input, std::uint32_t capacity) {
  auto output = PcmBuffer::make(converter.outputFormat(), capacity);
  bool given = false;
  std::vector<float> result;
  for (;;) {
    const Status status = converter.convert(*output, [&](std::uint32_t, Input& s) -> const PcmBuffer* {
      if (given) {
        s = Input::endOfStream;
        return nullptr;
      }
      given = true;
      s = Input::haveData;
      return &input;
    });
    EXPECT_NE(status, Status::error);
    const float* out = output->floatChannelData()[0];
    result.insert(result.end(), out, out + output->frameLength());
    if (status != Status::haveData) return result;
  }
}

TEST(ConverterTest, KeepsItsStateBetweenCallsThatRunDry) {
  const std::vector<float> signal = sine(440, 44100, 44100);
  auto inFormat = AudioFormat::float32(44100, 1);
  auto outFormat = AudioFormat::float32(48000, 1);

  auto whole = Converter::make(inFormat, outFormat);
  const std::vector<float> reference = convertWhole(*whole, *floatBuffer(44100, {signal}), 60000);

  // The recording writer's way: one buffer per call, answered with no-data-now afterwards.
  auto pieces = Converter::make(inFormat, outFormat);
  std::vector<float> joined;
  for (std::size_t start = 0; start < signal.size(); start += 4096) {
    const std::size_t end = std::min(signal.size(), start + 4096);
    auto piece = floatBuffer(44100, {std::vector<float>(signal.begin() + start, signal.begin() + end)});
    auto output = PcmBuffer::make(outFormat, 4096 * 48000 / 44100 + 32 + 1);
    bool given = false;
    const Status status = pieces->convert(*output, [&](std::uint32_t, Input& s) -> const PcmBuffer* {
      s = given ? Input::noDataNow : Input::haveData;
      const PcmBuffer* handed = given ? nullptr : piece.get();
      given = true;
      return handed;
    });
    ASSERT_EQ(status, Status::inputRanDry);
    joined.insert(joined.end(), output->floatChannelData()[0],
                  output->floatChannelData()[0] + output->frameLength());
  }
  // What the converter still holds is missing at the end; everything before matches exactly.
  ASSERT_LT(joined.size(), reference.size());
  EXPECT_GT(joined.size(), reference.size() - 64);
  for (std::size_t i = 0; i < joined.size(); ++i) ASSERT_NEAR(joined[i], reference[i], 1e-6) << i;
}

TEST(ConverterTest, DrainsEverythingAfterEndOfStreamAndStartsAfreshOnReset) {
  auto converter = Converter::make(AudioFormat::float32(44100, 1), AudioFormat::float32(16000, 1));
  auto input = floatBuffer(44100, {sine(1000, 44100, 44100)});
  const std::vector<float> first = convertWhole(*converter, *input, 1000);
  EXPECT_NEAR(static_cast<double>(first.size()), 16000.0, 2.0);

  auto output = PcmBuffer::make(converter->outputFormat(), 100);
  EXPECT_EQ(converter->convert(*output, [](std::uint32_t, Input& s) -> const PcmBuffer* {
    s = Input::haveData;
    ADD_FAILURE() << "an ended converter asked for input";
    return nullptr;
  }), Status::endOfStream);
  EXPECT_EQ(output->frameLength(), 0u);

  converter->reset();
  const std::vector<float> again = convertWhole(*converter, *input, 1000);
  ASSERT_EQ(again.size(), first.size());
  for (std::size_t i = 0; i < again.size(); ++i) ASSERT_EQ(again[i], first[i]) << i;
}

TEST(ConverterTest, DownMixAveragesAndUpMixCopies) {
  struct Case {
    const char* name;
    testsupport::Channels in;
    std::uint32_t outChannels;
    testsupport::Channels expected;
  };
  const Case cases[] = {
      {"stereo to mono", {{0.2f, 0.4f, -1.0f}, {0.6f, 0.0f, 1.0f}}, 1, {{0.4f, 0.2f, 0.0f}}},
      {"three to mono", {{0.3f, 0.0f}, {0.3f, 0.9f}, {0.3f, 0.0f}}, 1, {{0.3f, 0.3f}}},
      {"mono to stereo", {{0.25f, -0.5f}}, 2, {{0.25f, -0.5f}, {0.25f, -0.5f}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto input = floatBuffer(48000, c.in);
    auto converter = Converter::make(input->format(), AudioFormat::float32(48000, c.outChannels));
    ASSERT_TRUE(converter);
    auto output = PcmBuffer::make(converter->outputFormat(), 16);
    bool given = false;
    converter->convert(*output, [&](std::uint32_t, Input& s) -> const PcmBuffer* {
      s = given ? Input::endOfStream : Input::haveData;
      const PcmBuffer* handed = given ? nullptr : input.get();
      given = true;
      return handed;
    });
    ASSERT_EQ(output->frameLength(), c.expected[0].size());
    for (std::size_t ch = 0; ch < c.expected.size(); ++ch) {
      for (std::size_t i = 0; i < c.expected[ch].size(); ++i) {
        EXPECT_NEAR(output->floatChannelData()[ch][i], c.expected[ch][i], 1e-6);
      }
    }
  }
}

TEST(ConverterTest, FullOutputKeepsTheRestForTheNextCall) {
  auto converter = Converter::make(AudioFormat::float32(48000, 1), AudioFormat::float32(48000, 1));
  std::vector<float> ramp(1000);
  for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<float>(i) / 1000.0f;
  auto input = floatBuffer(48000, {ramp});
  auto output = PcmBuffer::make(converter->outputFormat(), 300);
  bool given = false;
  auto once = [&](std::uint32_t, Input& s) -> const PcmBuffer* {
    s = given ? Input::noDataNow : Input::haveData;
    const PcmBuffer* handed = given ? nullptr : input.get();
    given = true;
    return handed;
  };
  std::vector<float> out;
  std::vector<Status> statuses;
  for (int call = 0; call < 4; ++call) {
    statuses.push_back(converter->convert(*output, once));
    out.insert(out.end(), output->floatChannelData()[0],
               output->floatChannelData()[0] + output->frameLength());
  }
  EXPECT_EQ(statuses, (std::vector<Status>{Status::haveData, Status::haveData, Status::haveData,
                                           Status::inputRanDry}));
  EXPECT_EQ(out, ramp);
}

TEST(ConverterTest, ReportsBuffersOfTheWrongFormat) {
  auto converter = Converter::make(AudioFormat::float32(44100, 1), AudioFormat::float32(48000, 1));
  auto wrongInput = floatBuffer(48000, {{0.1f, 0.2f}});
  auto output = PcmBuffer::make(converter->outputFormat(), 16);
  std::optional<AudioError> error;
  EXPECT_EQ(converter->convert(*output,
                               [&](std::uint32_t, Input& s) -> const PcmBuffer* {
                                 s = Input::haveData;
                                 return wrongInput.get();
                               },
                               &error),
            Status::error);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), AudioError::formatMismatch);

  auto wrongOutput = PcmBuffer::make(AudioFormat::float32(16000, 1), 16);
  EXPECT_EQ(converter->convert(*wrongOutput, [](std::uint32_t, Input& s) -> const PcmBuffer* {
    s = Input::endOfStream;
    return nullptr;
  }), Status::error);
}

TEST(AudioFormatTest, RefusesRatesAndChannelCountsThatCannotBe) {
  EXPECT_TRUE(AudioFormat::make(CommonFormat::pcmFormatFloat32, 48000, 1, false));
  for (double rate : {0.0, -1.0, std::nan(""), double{INFINITY}}) {
    EXPECT_FALSE(AudioFormat::make(CommonFormat::pcmFormatFloat32, rate, 1, false)) << rate;
  }
  EXPECT_FALSE(AudioFormat::make(CommonFormat::pcmFormatFloat32, 48000, 0, false));
  EXPECT_FALSE(AudioFormat::make(CommonFormat::otherFormat, 48000, 1, false));
}

TEST(PcmBufferTest, FloatPlanesOnlyForNonInterleavedFloat) {
  auto planar = PcmBuffer::make(AudioFormat::float32(48000, 2), 10);
  ASSERT_NE(planar->floatChannelData(), nullptr);
  EXPECT_EQ(planar->mutableAudioBufferList().size(), 2u);
  auto interleaved = PcmBuffer::make(*AudioFormat::make(CommonFormat::pcmFormatFloat32, 48000, 2, true), 10);
  EXPECT_EQ(interleaved->floatChannelData(), nullptr);
  ASSERT_EQ(interleaved->mutableAudioBufferList().size(), 1u);
  EXPECT_EQ(interleaved->mutableAudioBufferList()[0].dataByteSize, 80u);
  auto int16 = PcmBuffer::make(*AudioFormat::make(CommonFormat::pcmFormatInt16, 48000, 1, false), 10);
  EXPECT_EQ(int16->floatChannelData(), nullptr);
  EXPECT_EQ(int16->mutableAudioBufferList()[0].dataByteSize, 20u);
}

}  // namespace
}  // namespace platform
