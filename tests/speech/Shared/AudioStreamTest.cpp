#include "speech/Shared/AudioStream.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <deque>
#include <future>
#include <limits>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/audio/AudioStreamBasicDescription.h"
#include "platform/audio/MediaSampleBuffer.h"
#include "speech/Shared/AudioConverterError.h"
#include "speech/Shared/AudioStreamError.h"
#include "tests/support/AudioFixtures.h"

namespace tesselaudio {
namespace {

using Chunking = AudioStreamChunkingStrategy;
using Startup = AudioStreamStartupStrategy;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

// Samples whose values are their own indices first, first + 1, ...: a chunk shows which samples it
// took. Exact as floats up to 2^24.
std::vector<float> counting(std::int64_t count, std::int64_t first = 0) {
  std::vector<float> samples(static_cast<std::size_t>(count));
  for (std::int64_t i = 0; i < count; ++i) samples[i] = static_cast<float>(first + i);
  return samples;
}

// A run of a chunk's expected content: `count` zeros, or counting samples from `first`.
struct Run {
  std::int64_t first;  // -1 for zeros
  std::int64_t count;
};
constexpr std::int64_t kZeros = -1;

struct Expected {
  std::vector<Run> runs;
  double start;
};

std::vector<float> contentOf(const std::vector<Run>& runs) {
  std::vector<float> content;
  for (const Run& run : runs) {
    const auto part = run.first == kZeros ? std::vector<float>(run.count, 0.0f) : counting(run.count, run.first);
    content.insert(content.end(), part.begin(), part.end());
  }
  return content;
}

void expectChunks(const std::vector<AudioStream::Chunk>& got, const std::vector<Expected>& expected) {
  ASSERT_EQ(got.size(), expected.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    SCOPED_TRACE(::testing::Message() << "chunk " << i);
    EXPECT_DOUBLE_EQ(got[i].chunkStartTime, expected[i].start);
    EXPECT_TRUE(got[i].chunk == contentOf(expected[i].runs))
        << "size " << got[i].chunk.size() << ", first " << (got[i].chunk.empty() ? -1.0f : got[i].chunk.front());
  }
}

// The stream of the examples: 16 kHz, 1 s chunks 0.5 s apart, starting at 10 s, default capacity.
std::unique_ptr<AudioStream> exampleStream(Chunking chunking, Startup startup) {
  return std::make_unique<AudioStream>(1.0, 0.5, 10.0, chunking, startup, 16000);
}

std::vector<AudioStream::Chunk> pullAll(AudioStream& stream) {
  std::vector<AudioStream::Chunk> chunks;
  while (auto chunk = stream.readChunkIfAvailable()) chunks.push_back(std::move(*chunk));
  return chunks;
}

// Collects what a bound handler gets.
struct Collector {
  std::vector<AudioStream::Chunk> chunks;
  AudioStream::Handler handler() {
    return [this](std::vector<float> chunk, double start) { chunks.push_back({std::move(chunk), start}); };
  }
};

template <typename F>
void expectStreamError(F&& make, AudioStreamError::Case expected) {
  try {
    make();
    ADD_FAILURE() << "no error";
  } catch (const AudioStreamError& e) {
    EXPECT_EQ(e.errorCase(), expected);
  }
}

TEST(AudioStreamTest, SizesRoundHalfAwayFromZeroAndDefaultToTwoChunksWithoutOverlap) {
  const auto example = exampleStream(Chunking::useFixedSkip, Startup::waitForFullChunk);
  EXPECT_EQ(example->chunkSize(), 16000);
  EXPECT_EQ(example->skipSize(), 8000);
  EXPECT_EQ(example->overlapSize(), 8000);
  EXPECT_EQ(example->capacity(), 24000);
  EXPECT_DOUBLE_EQ(example->chunkOverlap(), 0.5);

  const AudioStream noSkip(1.0, std::nullopt, 0.0, Chunking::useFixedSkip, Startup::waitForFullChunk, 16000);
  EXPECT_EQ(noSkip.skipSize(), noSkip.chunkSize());
  EXPECT_EQ(noSkip.capacity(), 32000);
  EXPECT_EQ(noSkip.chunkOverlap(), 0.0);

  const AudioStream halves(2.5, 1.5, 0.0, Chunking::useFixedSkip, Startup::waitForFullChunk, 1.0, 4.5);
  EXPECT_EQ(halves.chunkSize(), 3);
  EXPECT_EQ(halves.skipSize(), 2);
  EXPECT_EQ(halves.capacity(), 5);
}

TEST(AudioStreamTest, ConstructionRejectsSizesItCannotUse) {
  using Case = AudioStreamError::Case;
  struct Row {
    const char* name;
    double chunkDuration;
    std::optional<double> chunkSkip;
    double sampleRate;
    std::optional<double> capacity;
    Case expected;
  };
  const Row rows[] = {
      {"skip longer than the chunk", 1.0, 1.5, 16000, std::nullopt, Case::invalidChunkSkip},
      {"chunk rounds to no sample", 0.00003, std::nullopt, 16000, std::nullopt, Case::invalidChunkDuration},
      {"capacity below one chunk", 1.0, 0.5, 16000, 0.9, Case::bufferTooSmall},
      {"skip rounds to no sample", 1.0, 0.00003, 16000, std::nullopt, Case::invalidChunkSkip},
      {"negative skip", 1.0, -0.5, 16000, std::nullopt, Case::invalidChunkSkip},
      {"negative chunk", -1.0, 0.5, 16000, std::nullopt, Case::invalidChunkDuration},
      {"rate of zero", 1.0, 0.5, 0, std::nullopt, Case::invalidChunkDuration},
      {"negative rate", 1.0, 0.5, -16000, std::nullopt, Case::invalidChunkDuration},
      {"rate not a number", 1.0, 0.5, kNaN, std::nullopt, Case::invalidChunkDuration},
      {"infinite rate", 1.0, 0.5, kInfinity, std::nullopt, Case::invalidChunkDuration},
      {"chunk not a number", kNaN, 0.5, 16000, std::nullopt, Case::invalidChunkDuration},
      {"infinite chunk", kInfinity, 0.5, 16000, std::nullopt, Case::invalidChunkDuration},
      {"chunk beyond any sample count", 1e300, 0.5, 16000, std::nullopt, Case::invalidChunkDuration},
      {"skip not a number", 1.0, kNaN, 16000, std::nullopt, Case::invalidChunkSkip},
      {"infinite skip", 1.0, kInfinity, 16000, std::nullopt, Case::invalidChunkSkip},
      {"capacity not a number", 1.0, 0.5, 16000, kNaN, Case::bufferTooSmall},
      {"infinite capacity", 1.0, 0.5, 16000, kInfinity, Case::bufferTooSmall},
      {"capacity beyond any sample count", 1.0, 0.5, 16000, 1e300, Case::bufferTooSmall},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    expectStreamError(
        [&] {
          AudioStream(row.chunkDuration, row.chunkSkip, 0.0, Chunking::useFixedSkip, Startup::waitForFullChunk,
                      row.sampleRate, row.capacity);
        },
        row.expected);
  }
  EXPECT_EQ(AudioStreamError::invalidChunkDuration().code(), 2);
  EXPECT_EQ(AudioStreamError::bufferTooSmall().description(),
            "The operation couldn\u2019t be completed. (TesselAudio.AudioStreamError error 0.)");
}

TEST(AudioStreamTest, FreshStreamsHaveNoChunk) {
  for (Startup startup : {Startup::startSilent, Startup::rampUpChunkSize, Startup::waitForFullChunk}) {
    for (Chunking chunking : {Chunking::useFixedSkip, Chunking::useMostRecent}) {
      const auto stream = exampleStream(chunking, startup);
      EXPECT_FALSE(stream->hasNewChunk());
      EXPECT_FALSE(stream->readChunkIfAvailable());
    }
  }
}

// Blocks written one after another (counting samples continuing across blocks), each followed by
// the chunks a bound handler gets.
struct Step {
  std::int64_t samples;
  std::vector<Expected> chunks;
};

TEST(AudioStreamTest, StartupAndChunkingStrategies) {
  struct Case {
    const char* name;
    Chunking chunking;
    Startup startup;
    std::vector<Step> steps;
  };
  const Case cases[] = {
      {"wait for a full chunk, fixed skip", Chunking::useFixedSkip, Startup::waitForFullChunk,
       {{8000, {}}, {8000, {{{{0, 16000}}, 10.0}}}, {8000, {{{{8000, 16000}}, 10.5}}}}},
      {"start silent, fixed skip", Chunking::useFixedSkip, Startup::startSilent,
       {{8000, {{{{kZeros, 8000}, {0, 8000}}, 9.5}}}, {8000, {{{{0, 16000}}, 10.0}}}}},
      {"ramp up, fixed skip", Chunking::useFixedSkip, Startup::rampUpChunkSize,
       {{8000, {{{{0, 8000}}, 10.0}}},
        {8000, {{{{0, 16000}}, 10.0}}},
        {8000, {{{{8000, 16000}}, 10.5}}},
        {8000, {{{{16000, 16000}}, 11.0}}}}},
      {"ramp up, most recent", Chunking::useMostRecent, Startup::rampUpChunkSize,
       {{8000, {{{{0, 8000}}, 10.0}}}, {12000, {{{{4000, 16000}}, 10.25}}}, {8000, {{{{12000, 16000}}, 10.75}}}}},
      {"wait, most recent: the next chunk comes a skip later and ends at the newest sample",
       Chunking::useMostRecent, Startup::waitForFullChunk,
       {{20000, {{{{4000, 16000}}, 10.25}}}, {4000, {}}, {4000, {{{{12000, 16000}}, 10.75}}}}},
      {"several chunks from one block", Chunking::useFixedSkip, Startup::waitForFullChunk,
       {{24000, {{{{0, 16000}}, 10.0}, {{{8000, 16000}}, 10.5}}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto stream = exampleStream(c.chunking, c.startup);
    Collector collector;
    stream->bind(collector.handler());
    std::int64_t written = 0;
    for (const Step& step : c.steps) {
      SCOPED_TRACE(::testing::Message() << "after sample " << written + step.samples);
      collector.chunks.clear();
      stream->write(counting(step.samples, written));
      written += step.samples;
      expectChunks(collector.chunks, step.chunks);
      EXPECT_FALSE(stream->hasNewChunk());
    }
  }
}

TEST(AudioStreamTest, BlocksLargerThanTheBufferKeepTheNewestSamples) {
  struct Case {
    const char* name;
    Chunking chunking;
    std::int64_t block;
    bool bound;                       // delivered to a handler, else pulled
    std::vector<Expected> chunks;     // from the block
    Expected next;                    // after 8000 more samples
  };
  const Case cases[] = {
      {"fixed skip keeps the newest capacity", Chunking::useFixedSkip, 30000, true,
       {{{{6000, 16000}}, 10.375}, {{{14000, 16000}}, 10.875}}, {{{22000, 16000}}, 11.375}},
      {"most recent takes the newest chunk from a block that fits", Chunking::useMostRecent, 20000, false,
       {{{{4000, 16000}}, 10.25}}, {{{12000, 16000}}, 10.75}},
      {"most recent keeps only the newest chunk of an overflowing block", Chunking::useMostRecent, 30000, false,
       {{{{14000, 16000}}, 10.875}}, {{{22000, 16000}}, 11.375}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto stream = exampleStream(c.chunking, Startup::waitForFullChunk);
    Collector collector;
    if (c.bound) stream->bind(collector.handler());
    stream->write(counting(c.block));
    expectChunks(c.bound ? collector.chunks : pullAll(*stream), c.chunks);
    collector.chunks.clear();
    stream->write(counting(8000, c.block));
    expectChunks(c.bound ? collector.chunks : pullAll(*stream), {c.next});
  }
}

TEST(AudioStreamTest, TimeStampsFillGapsOverwriteAndMoveTheStart) {
  struct Block {
    std::int64_t count;
    std::int64_t first;  // value of its first sample
    std::optional<double> endTime;
  };
  struct Case {
    const char* name;
    std::vector<Block> blocks;
    std::vector<Expected> chunks;  // the first chunks pulled, with filler from 100000 on
  };
  const Case cases[] = {
      {"a stamp where the block ends anyway", {{1600, 0, 10.1}}, {{{{0, 1600}, {100000, 14400}}, 10.0}}},
      {"a gap is filled with silence", {{1600, 0, 10.1}, {1600, 1600, 10.3}},
       {{{{0, 1600}, {kZeros, 1600}, {1600, 1600}, {100000, 11200}}, 10.0}}},
      {"the same end again overwrites", {{1600, 0, 10.1}, {1600, 50000, 10.1}},
       {{{{50000, 1600}, {100000, 14400}}, 10.0}}},
      {"a first block ending early moves the start back", {{1600, 0, 10.05}},
       {{{{0, 1600}, {100000, 14400}}, 9.95}}},
      {"a block reaching before the buffer moves the start back", {{1600, 0, 10.1}, {3200, 50000, 10.1}},
       {{{{50000, 3200}, {100000, 12800}}, 9.9}}},
      {"a gap longer than the buffer keeps the newest silence and the block",
       {{1600, 0, 10.1}, {1600, 50000, 20.0}},
       {{{{kZeros, 16000}}, 18.5}, {{{kZeros, 14400}, {50000, 1600}}, 19.0}}},
      {"a stamp that is not a number is ignored", {{1600, 0, kNaN}}, {{{{0, 1600}, {100000, 14400}}, 10.0}}},
      {"an infinite stamp is ignored", {{1600, 0, -kInfinity}}, {{{{0, 1600}, {100000, 14400}}, 10.0}}},
      {"a stamp beyond any sample position is ignored", {{1600, 0, 1e300}},
       {{{{0, 1600}, {100000, 14400}}, 10.0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto stream = exampleStream(Chunking::useFixedSkip, Startup::waitForFullChunk);
    for (const Block& block : c.blocks) stream->write(counting(block.count, block.first), block.endTime);
    std::vector<AudioStream::Chunk> chunks = pullAll(*stream);
    stream->write(counting(16000, 100000));
    for (auto& chunk : pullAll(*stream)) chunks.push_back(std::move(chunk));
    ASSERT_GE(chunks.size(), c.chunks.size());
    chunks.resize(c.chunks.size());
    expectChunks(chunks, c.chunks);
  }
}

TEST(AudioStreamTest, PendingChunksWaitForTheNextNonEmptyWrite) {
  const auto stream = exampleStream(Chunking::useFixedSkip, Startup::waitForFullChunk);
  stream->write(counting(16000));
  Collector collector;
  stream->bind(collector.handler());
  EXPECT_TRUE(collector.chunks.empty());
  stream->write(std::vector<float>{});
  EXPECT_TRUE(collector.chunks.empty());
  EXPECT_TRUE(stream->hasNewChunk());

  stream->write(counting(8000, 16000));
  expectChunks(collector.chunks, {{{{0, 16000}}, 10.0}, {{{8000, 16000}}, 10.5}});

  stream->unbind();
  collector.chunks.clear();
  stream->write(counting(8000, 24000));
  EXPECT_TRUE(collector.chunks.empty());
  EXPECT_TRUE(stream->hasNewChunk());
}

TEST(AudioStreamTest, HandlersMayUnbindPullAndThrow) {
  // Room for three seconds, so that the block below fits.
  const auto stream = std::make_unique<AudioStream>(1.0, 0.5, 10.0, Chunking::useFixedSkip,
                                                    Startup::waitForFullChunk, 16000, 3.0);
  std::vector<AudioStream::Chunk> pulledInside;
  int calls = 0;
  stream->bind([&](std::vector<float>, double) {
    ++calls;
    // From inside the handler: the lock is not held.
    if (auto chunk = stream->readChunkIfAvailable()) pulledInside.push_back(std::move(*chunk));
    stream->unbind();
  });
  stream->write(counting(32000));
  EXPECT_EQ(calls, 1);
  expectChunks(pulledInside, {{{{8000, 16000}}, 10.5}});
  // Unbound: the third chunk waits.
  expectChunks(pullAll(*stream), {{{{16000, 16000}}, 11.0}});

  const auto failing = exampleStream(Chunking::useFixedSkip, Startup::waitForFullChunk);
  failing->bind([](std::vector<float>, double) { throw std::runtime_error("handler failed"); });
  EXPECT_THROW(failing->write(counting(24000)), std::runtime_error);
  // The chunk handed over is gone, the next one stays.
  failing->unbind();
  expectChunks(pullAll(*failing), {{{{8000, 16000}}, 10.5}});
}

TEST(AudioStreamTest, ChunksInCollectionsOfTheCallersChoice) {
  const auto stream = exampleStream(Chunking::useFixedSkip, Startup::waitForFullChunk);
  std::vector<std::deque<float>> delivered;
  stream->bind<std::deque<float>>([&](std::deque<float> chunk, double) { delivered.push_back(std::move(chunk)); });
  stream->write(counting(16000));
  ASSERT_EQ(delivered.size(), 1u);
  EXPECT_EQ(delivered[0].back(), 15999.0f);

  stream->unbind();
  EXPECT_EQ(stream->withChunkIfAvailable([](std::vector<float>, double) { return 1; }), std::nullopt);
  stream->write(counting(8000, 16000));
  const auto sum = stream->withChunkIfAvailable<std::deque<float>>([](std::deque<float> chunk, double start) {
    return std::pair(chunk.size(), start);
  });
  EXPECT_EQ(sum, std::pair(std::size_t{16000}, 10.5));
  EXPECT_FALSE(stream->withChunkIfAvailable([](std::vector<float>, double) {}));

  // Any range of floats can be written.
  const std::deque<float> block(16000 - 8000, 1.0f);
  stream->write(block);
  EXPECT_TRUE(stream->hasNewChunk());
}

TEST(AudioStreamTest, PlatformBuffersAreConvertedBeforeBuffering) {
  const auto stream = exampleStream(Chunking::useFixedSkip, Startup::waitForFullChunk);
  // Already mono at the stream's rate: taken as is.
  stream->write(*testsupport::floatBuffer(16000, {counting(8000)}));
  // Stereo at 48 kHz: converted to about a third as many samples.
  stream->write(*testsupport::floatBuffer(48000, {std::vector<float>(30000, 0.25f), std::vector<float>(30000, 0.25f)}));
  auto chunk = stream->readChunkIfAvailable();
  ASSERT_TRUE(chunk);
  EXPECT_EQ(std::vector<float>(chunk->chunk.begin(), chunk->chunk.begin() + 8000), counting(8000));
  EXPECT_NEAR(chunk->chunk[12000], 0.25f, 0.01f);

  struct Case {
    const char* name;
    platform::MediaSampleBuffer buffer;
    AudioConverterError::Case expected;
  };
  platform::MediaSampleBuffer shortData;
  shortData.formatDescription = platform::AudioStreamBasicDescription::interleavedPCM(16000, 1, true);
  shortData.numSamples = 8000;
  shortData.data.resize(100);
  const Case cases[] = {
      {"no format", {}, AudioConverterError::Case::sampleBufferFormatMissing},
      {"fewer bytes than samples", shortData, AudioConverterError::Case::sampleBufferCopyFailed},
  };
  const auto fresh = exampleStream(Chunking::useFixedSkip, Startup::waitForFullChunk);
  fresh->write(counting(8000));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      fresh->write(c.buffer);
      ADD_FAILURE() << "no error";
    } catch (const AudioConverterError& e) {
      EXPECT_EQ(e.errorCase(), c.expected);
    }
  }
  // Nothing of the failed writes was buffered.
  fresh->write(counting(8000, 8000));
  expectChunks(pullAll(*fresh), {{{{0, 16000}}, 10.0}});
}

TEST(AudioStreamTest, ConcurrentWritersAndPullersTakeEveryChunkOnce) {
  // Chunks of 100 samples without overlap and room for everything: every sample ends up in exactly
  // one chunk, whoever takes it. Small blocks and chunks make writers and pullers meet often.
  AudioStream stream(0.1, std::nullopt, 0.0, Chunking::useFixedSkip, Startup::waitForFullChunk, 1000, 200.0);
  std::mutex mutex;
  std::vector<AudioStream::Chunk> taken;
  auto keep = [&](std::vector<float> chunk, double start) {
    std::scoped_lock lock(mutex);
    taken.push_back({std::move(chunk), start});
  };
  stream.bind(keep);

  constexpr int kWriters = 4, kPullers = 4, kBlocks = 2500, kBlockSize = 10;
  std::atomic<int> writersLeft = kWriters;
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, value = static_cast<float>(w + 1)] {
      for (int b = 0; b < kBlocks; ++b) stream.write(std::vector<float>(kBlockSize, value));
      --writersLeft;
    });
  }
  for (int p = 0; p < kPullers; ++p) {
    threads.emplace_back([&] {
      while (writersLeft > 0) {
        if (auto chunk = stream.readChunkIfAvailable()) {
          keep(std::move(chunk->chunk), chunk->chunkStartTime);
        } else {
          std::this_thread::yield();
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (auto& chunk : pullAll(stream)) keep(std::move(chunk.chunk), chunk.chunkStartTime);

  constexpr int kChunks = kWriters * kBlocks * kBlockSize / 100;
  ASSERT_EQ(taken.size(), static_cast<std::size_t>(kChunks));
  std::set<std::int64_t> starts;
  double total = 0;
  for (const auto& chunk : taken) {
    EXPECT_EQ(chunk.chunk.size(), 100u);
    starts.insert(std::llround(chunk.chunkStartTime * 10));
    for (float v : chunk.chunk) total += v;
  }
  EXPECT_EQ(starts.size(), static_cast<std::size_t>(kChunks));
  EXPECT_EQ(*starts.begin(), 0);
  EXPECT_EQ(*starts.rbegin(), kChunks - 1);
  EXPECT_EQ(total, kBlocks * kBlockSize * (1.0 + 2.0 + 3.0 + 4.0));
}

TEST(AudioStreamTest, AsynchronousHandlerGetsEachChunkOnceOffTheWriterAndBeforeTheStreamGoes) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::mutex mutex;
  std::vector<double> starts;
  std::set<std::thread::id> threads;
  std::atomic<bool> inHandler = false;
  {
    const auto stream = exampleStream(Chunking::useFixedSkip, Startup::waitForFullChunk);
    stream->bind(platform::TaskPriority::utility, [&](std::vector<float> chunk, double start) {
      inHandler = true;
      released.wait();
      std::scoped_lock lock(mutex);
      EXPECT_EQ(chunk.size(), 16000u);
      starts.push_back(start);
      threads.insert(std::this_thread::get_id());
      inHandler = false;
    });
    EXPECT_EQ(stream->boundPriority(), platform::TaskPriority::utility);
    // The first call blocks until released; the writer goes on regardless.
    for (int i = 0; i < 10; ++i) stream->write(counting(8000, 8000 * i));
    EXPECT_FALSE(stream->hasNewChunk());
    release.set_value();
  }
  // The stream waited for every queued call.
  EXPECT_FALSE(inHandler);
  std::vector<double> expected;
  for (int k = 0; k < 9; ++k) expected.push_back(10.0 + 0.5 * k);
  EXPECT_EQ(starts, expected);
  EXPECT_EQ(threads.size(), 1u);
  EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
}

}  // namespace
}  // namespace tesselaudio
