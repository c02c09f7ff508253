#include "speech/VAD/VadManager.h"

#include <limits>
#include <optional>
#include <vector>

#include <gtest/gtest.h>

#include "speech/VAD/VadError.h"
#include "tests/support/TemporaryFolder.h"
#include "tests/support/VadModelBuilder.h"

namespace tesselaudio {
namespace {

using Kind = VadStreamEvent::Kind;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// One chunk of the stream: its probability (the echo model reads the first sample) and length.
struct Chunk {
  float probability;
  std::size_t length = 4096;
};

std::vector<Chunk> chunksOf(const std::vector<float>& probabilities) {
  std::vector<Chunk> chunks;
  for (const float p : probabilities) chunks.push_back({p});
  return chunks;
}

// The echo stand-in behind a manager, and a stream fed chunk by chunk.
class VadStreamingTest : public testing::Test {
 protected:
  VadStreamingTest() : vad_(VadConfig::default_(), testsupport::loadVadEchoModel(folder_.path())) {}

  // The result of every chunk, each fed with the state of the one before.
  std::vector<VadStreamResult> feed(const std::vector<Chunk>& chunks, const VadSegmentationConfig& config = {},
                                    bool returnSeconds = false, int timeResolution = 1,
                                    VadStreamState state = VadStreamState::initial()) {
    std::vector<VadStreamResult> results;
    for (const auto& chunk : chunks) {
      results.push_back(
          vad_.processStreamingChunk(std::vector<float>(chunk.length, chunk.probability), state, config,
                                     returnSeconds, timeResolution));
      state = results.back().state;
    }
    return results;
  }

  // (chunk index, event) for every chunk that reported one.
  static std::vector<std::pair<std::size_t, VadStreamEvent>> events(const std::vector<VadStreamResult>& results) {
    std::vector<std::pair<std::size_t, VadStreamEvent>> found;
    for (std::size_t i = 0; i < results.size(); ++i) {
      if (results[i].event) found.emplace_back(i, *results[i].event);
    }
    return found;
  }

  testsupport::TemporaryFolder folder_;
  VadManager vad_;
};

const std::vector<float> kWorkedExample = {0.1f, 0.1f, 0.1f, 0.9f, 0.9f, 0.9f, 0.9f, 0.1f, 0.1f, 0.1f, 0.1f};

TEST_F(VadStreamingTest, ReportsStartAndEndAroundTheSpeech) {
  const auto results = feed(chunksOf(kWorkedExample));
  using Events = std::vector<std::pair<std::size_t, VadStreamEvent>>;
  EXPECT_EQ(events(results), (Events{{3, {Kind::speechStart, 10688, std::nullopt}},
                                     {10, {Kind::speechEnd, 30272, std::nullopt}}}));
  EXPECT_EQ(results[7].state.tempEndSample, 32768);
  EXPECT_TRUE(results[7].state.triggered);
  EXPECT_EQ(results[9].state.tempEndSample, 32768);
  EXPECT_FALSE(results[10].state.triggered);
  EXPECT_FALSE(results[10].state.tempEndSample);
  EXPECT_EQ(results[10].state.processedSamples, 45056);
  EXPECT_FLOAT_EQ(results[3].probability, 0.9f);
  // The model state chains: the echo's hidden state counts the chunks.
  EXPECT_EQ(results[10].state.modelState.hiddenState, std::vector<float>(128, 11.0f));
  EXPECT_TRUE(events(results)[0].second.isStart());
  EXPECT_TRUE(events(results)[1].second.isEnd());
}

TEST_F(VadStreamingTest, TimesAreRoundedToTheAskedDecimals) {
  const auto rounded = events(feed(chunksOf(kWorkedExample), {}, true, 2));
  ASSERT_EQ(rounded.size(), 2u);
  EXPECT_EQ(rounded[0].second.time, 0.67);
  EXPECT_EQ(rounded[1].second.time, 1.89);

  struct Case {
    std::size_t quietLength;
    double expected;
  };
  // Starts at quietLength − 1,600 samples: 0.5 s, 1.5 s and 2.5 s round away from zero.
  for (const auto& c : {Case{9600, 1.0}, Case{25600, 2.0}, Case{41600, 3.0}, Case{21600, 1.0}}) {
    SCOPED_TRACE(c.quietLength);
    const auto found = events(feed({{0.1f, c.quietLength}, {0.9f}}, {}, true, 0));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].second.time, c.expected);
  }
}

TEST_F(VadStreamingTest, TransitionsOfTheStateMachine) {
  VadSegmentationConfig immediate;
  immediate.minSilenceDuration = 0;
  struct Case {
    const char* name;
    std::vector<Chunk> chunks;
    VadSegmentationConfig config;
    std::vector<std::pair<std::size_t, VadStreamEvent>> expected;
  };
  const Case cases[] = {
      {"loud first chunk starts at 0", chunksOf({0.9f}), {}, {{0, {Kind::speechStart, 0, std::nullopt}}}},
      {"band chunk inside speech changes nothing", chunksOf({0.9f, 0.75f, 0.75f, 0.75f, 0.75f, 0.1f}), {},
       {{0, {Kind::speechStart, 0, std::nullopt}}}},
      {"loud chunk while pausing forgets the pause", chunksOf({0.9f, 0.1f, 0.9f, 0.1f, 0.1f, 0.1f, 0.1f}), {},
       {{0, {Kind::speechStart, 0, std::nullopt}}, {6, {Kind::speechEnd, 13888, std::nullopt}}}},
      {"no minimum silence ends on the first quiet chunk", chunksOf({0.9f, 0.1f}), immediate,
       {{0, {Kind::speechStart, 0, std::nullopt}}, {1, {Kind::speechEnd, 5696, std::nullopt}}}},
      {"quiet in silence and loud in speech say nothing", chunksOf({0.1f, 0.1f, 0.9f, 0.9f, 0.9f}), {},
       {{2, {Kind::speechStart, 6592, std::nullopt}}}},
      {"NaN neither starts nor ends", chunksOf({kNaN, 0.9f, kNaN, kNaN, kNaN, kNaN}), {},
       {{1, {Kind::speechStart, 2496, std::nullopt}}}},
      {"NaN while pausing neither ends nor resets", chunksOf({0.9f, 0.1f, kNaN, kNaN, 0.1f}), {},
       {{0, {Kind::speechStart, 0, std::nullopt}}, {4, {Kind::speechEnd, 5696, std::nullopt}}}},
      // Short chunks count their real length.
      {"short chunks advance by their length", {{0.1f, 1000}, {0.1f, 1000}, {0.9f, 3000}}, {},
       {{2, {Kind::speechStart, 400, std::nullopt}}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(events(feed(c.chunks, c.config)), c.expected);
  }
}

TEST_F(VadStreamingTest, BandChunkLeavesThePauseAsItWas) {
  const auto results = feed(chunksOf({0.9f, 0.1f, 0.75f}));
  EXPECT_EQ(results[2].state.tempEndSample, results[1].state.tempEndSample);
  EXPECT_EQ(results[2].state.tempEndChunkLength, 4096);
  EXPECT_TRUE(results[2].state.triggered);
  EXPECT_EQ(results[2].state.processedSamples, 3 * 4096);
}

TEST_F(VadStreamingTest, EndLiesAfterTheStartOfAShortFirstQuietChunk) {
  // The pause starts at 8,192 with a chunk of 1,000 samples; longer chunks follow.
  const auto results = feed({{0.9f}, {0.9f}, {0.1f, 1000}, {0.1f}, {0.1f}, {0.1f}});
  EXPECT_EQ(results[2].state.tempEndSample, 9192);
  EXPECT_EQ(results[2].state.tempEndChunkLength, 1000);
  const auto found = events(results);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[1].first, 5u);
  EXPECT_EQ(found[1].second.sampleIndex, 8192 + 1600);

  // Ended by a short chunk itself: P after that chunk's start.
  VadSegmentationConfig immediate;
  immediate.minSilenceDuration = 0;
  const auto ended = events(feed({{0.9f}, {0.1f, 1000}}, immediate));
  ASSERT_EQ(ended.size(), 2u);
  EXPECT_EQ(ended[1].second.sampleIndex, 4096 + 1600);
}

TEST_F(VadStreamingTest, FailedChunkLeavesTheCallersStateUsable) {
  const auto results = feed(chunksOf({0.9f, 0.1f}));
  const auto state = results.back().state;
  VadManager withoutModel(VadConfig::default_(), std::shared_ptr<const platform::MLModel>());
  EXPECT_THROW(withoutModel.processStreamingChunk(std::vector<float>(4096, 0.1f), state, {}, false, 1), VadError);

  const auto resumed = feed(chunksOf({0.1f, 0.1f, 0.1f}), {}, false, 1, state);
  const auto straight = feed(chunksOf({0.9f, 0.1f, 0.1f, 0.1f, 0.1f}));
  EXPECT_EQ(resumed.back(), straight.back());
  EXPECT_EQ(vad_.makeStreamState(), VadStreamState::initial());
}

}  // namespace
}  // namespace tesselaudio
