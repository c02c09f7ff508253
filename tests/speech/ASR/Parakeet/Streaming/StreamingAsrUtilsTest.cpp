#include "speech/ASR/Parakeet/Streaming/StreamingAsrUtils.h"

#include <cstdint>
#include <numeric>
#include <stdexcept>
#include <stop_token>
#include <vector>

#include <gtest/gtest.h>

#include "platform/audio/AudioFormat.h"
#include "platform/audio/PcmBuffer.h"
#include "platform/sys/CancellationError.h"
#include "speech/Shared/AudioConverter.h"
#include "speech/Shared/AudioConverterError.h"
#include "tests/support/AudioFixtures.h"

namespace tesselaudio {
namespace {

using StreamingAsrUtils::processRemainingAudio;

std::vector<float> ramp(std::size_t count, float from = 1) {
  std::vector<float> values(count);
  std::iota(values.begin(), values.end(), from);
  return values;
}

// Records every chunk; throws on the call numbered `failOnCall` (from 1) when set.
struct ChunkRecorder {
  std::vector<std::vector<float>> chunks;
  int failOnCall = 0;

  StreamingAsrUtils::ChunkProcessor processor() {
    return [this](const std::vector<float>& chunk) {
      chunks.push_back(chunk);
      if (static_cast<int>(chunks.size()) == failOnCall) throw std::runtime_error("chunk failed");
    };
  }
};

std::vector<float> padded(std::vector<float> samples, std::size_t size) {
  samples.resize(size, 0.0f);
  return samples;
}

TEST(StreamingAsrUtilsTest, LastPartialChunkIsPaddedWithZerosAndPassedOnce) {
  std::vector<float> buffer = ramp(100);
  ChunkRecorder recorder;
  EXPECT_TRUE(processRemainingAudio(buffer, 2560, recorder.processor(), {}));
  ASSERT_EQ(recorder.chunks.size(), 1u);
  EXPECT_EQ(recorder.chunks[0], padded(ramp(100), 2560));
  EXPECT_TRUE(buffer.empty());
}

TEST(StreamingAsrUtilsTest, EmptyBufferReturnsFalseWithoutACall) {
  std::vector<float> buffer;
  ChunkRecorder recorder;
  EXPECT_FALSE(processRemainingAudio(buffer, 2560, recorder.processor(), {}));
  EXPECT_TRUE(recorder.chunks.empty());
  EXPECT_TRUE(buffer.empty());
}

TEST(StreamingAsrUtilsTest, FailedChunkIsRethrownAndKeepsItsSamplesAndZeros) {
  std::vector<float> buffer = ramp(100);
  ChunkRecorder recorder;
  recorder.failOnCall = 1;
  EXPECT_THROW(processRemainingAudio(buffer, 2560, recorder.processor(), {}), std::runtime_error);
  EXPECT_EQ(buffer, padded(ramp(100), 2560));
}

// More than one chunk left is processed chunk by chunk instead of losing all but the first.
TEST(StreamingAsrUtilsTest, MoreThanOneChunkLeftIsProcessedChunkByChunk) {
  const std::vector<float> samples = ramp(2560 + 100);
  {
    SCOPED_TRACE("all chunks succeed");
    std::vector<float> buffer = samples;
    ChunkRecorder recorder;
    EXPECT_TRUE(processRemainingAudio(buffer, 2560, recorder.processor(), {}));
    ASSERT_EQ(recorder.chunks.size(), 2u);
    EXPECT_EQ(recorder.chunks[0], ramp(2560));
    EXPECT_EQ(recorder.chunks[1], padded(ramp(100, 2561), 2560));
    EXPECT_TRUE(buffer.empty());
  }
  {
    SCOPED_TRACE("the second chunk fails");
    std::vector<float> buffer = samples;
    ChunkRecorder recorder;
    recorder.failOnCall = 2;
    EXPECT_THROW(processRemainingAudio(buffer, 2560, recorder.processor(), {}), std::runtime_error);
    EXPECT_EQ(buffer, padded(ramp(100, 2561), 2560));
  }
}

TEST(StreamingAsrUtilsTest, StopBeforeAChunkIsACancellationThatKeepsTheSamples) {
  std::stop_source stop;
  stop.request_stop();
  std::vector<float> buffer = ramp(100);
  ChunkRecorder recorder;
  EXPECT_THROW(processRemainingAudio(buffer, 2560, recorder.processor(), stop.get_token()),
               platform::CancellationError);
  EXPECT_TRUE(recorder.chunks.empty());
  EXPECT_EQ(buffer, padded(ramp(100), 2560));
}

TEST(StreamingAsrUtilsTest, AppendAudioCopiesTargetFormatAndConvertsOthers) {
  const AudioConverter converter;
  const std::vector<float> earlier = {0.5f, -0.5f};
  {
    SCOPED_TRACE("16 kHz mono float is copied");
    std::vector<float> buffer = earlier;
    const std::vector<float> values = {0.25f, -3.0f, 0.125f};
    StreamingAsrUtils::appendAudio(*testsupport::floatBuffer(16000, {values}), converter, buffer);
    EXPECT_EQ(buffer, (std::vector<float>{0.5f, -0.5f, 0.25f, -3.0f, 0.125f}));
  }
  {
    SCOPED_TRACE("48 kHz stereo is converted");
    std::vector<float> buffer = earlier;
    const std::vector<float> tone = testsupport::sine(440, 48000, 48000, 0.4f);
    StreamingAsrUtils::appendAudio(*testsupport::floatBuffer(48000, {tone, tone}), converter, buffer);
    EXPECT_NEAR(static_cast<double>(buffer.size()), 2.0 + 16000.0, 16.0);
    EXPECT_EQ(buffer[0], 0.5f);
    EXPECT_EQ(buffer[1], -0.5f);
    const std::vector<float> appended(buffer.begin() + 2, buffer.end());
    EXPECT_GT(testsupport::toneMagnitude(appended, 440, 16000), 10 * testsupport::toneMagnitude(appended, 1000, 16000));
  }
  {
    SCOPED_TRACE("a failed conversion leaves the buffer as it was");
    std::vector<float> buffer = earlier;
    auto interleaved = platform::PcmBuffer::make(
        *platform::AudioFormat::make(platform::CommonFormat::pcmFormatFloat32, 48000, 4, true), 8);
    interleaved->setFrameLength(8);
    EXPECT_THROW(StreamingAsrUtils::appendAudio(*interleaved, converter, buffer), AudioConverterError);
    EXPECT_EQ(buffer, earlier);
  }
}

TEST(StreamingAsrUtilsTest, ResetSharedStateClearsBufferTokensAndChunkCount) {
  std::vector<float> audio = ramp(10);
  std::vector<std::int64_t> tokens = {4, 5, 6};
  std::int64_t chunks = 7;
  StreamingAsrUtils::resetSharedState(audio, tokens, chunks);
  EXPECT_TRUE(audio.empty());
  EXPECT_TRUE(tokens.empty());
  EXPECT_EQ(chunks, 0);
}

}  // namespace
}  // namespace tesselaudio
