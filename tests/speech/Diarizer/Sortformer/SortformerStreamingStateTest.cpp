#include "speech/Diarizer/Sortformer/SortformerStreamingState.h"

#include <vector>

#include <gtest/gtest.h>

#include "speech/Diarizer/Sortformer/SortformerConfig.h"
#include "speech/Diarizer/Sortformer/StreamingUpdateResult.h"

namespace tesselaudio {
namespace {

TEST(SortformerStreamingStateTest, StartsEmptyWithRoomForTheLargestUpdate) {
  const auto& config = SortformerConfig::balancedV2_1();
  SortformerStreamingState state(config);
  EXPECT_TRUE(state.spkcache.empty());
  EXPECT_EQ(state.spkcacheLength, 0);
  EXPECT_FALSE(state.spkcachePreds.has_value());
  EXPECT_TRUE(state.fifo.empty());
  EXPECT_EQ(state.fifoLength, 0);
  EXPECT_FALSE(state.fifoPreds.has_value());
  EXPECT_EQ(state.meanSilenceEmbedding, std::vector<float>(512, 0.0f));
  EXPECT_EQ(state.silenceFrameCount, 0);
  EXPECT_GE(state.spkcache.capacity(), (188u + 144u) * 512u);
  EXPECT_GE(state.fifo.capacity(), (188u + 6u) * 512u);
}

TEST(SortformerStreamingStateTest, CleanupEmptiesEvenTheSilenceEmbedding) {
  SortformerStreamingState state(SortformerConfig::balancedV2_1());
  state.spkcache.assign(512, 1.0f);
  state.spkcacheLength = 1;
  state.spkcachePreds = std::vector<float>(4, 0.5f);
  state.fifo.assign(512, 1.0f);
  state.fifoLength = 1;
  state.fifoPreds = std::vector<float>(4, 0.5f);
  state.silenceFrameCount = 3;

  state.cleanup();

  EXPECT_TRUE(state.spkcache.empty());
  EXPECT_EQ(state.spkcacheLength, 0);
  EXPECT_FALSE(state.spkcachePreds.has_value());
  EXPECT_TRUE(state.fifo.empty());
  EXPECT_EQ(state.fifoLength, 0);
  EXPECT_FALSE(state.fifoPreds.has_value());
  EXPECT_TRUE(state.meanSilenceEmbedding.empty());
  EXPECT_EQ(state.silenceFrameCount, 0);
}

TEST(StreamingUpdateResultTest, FrameCountsAreWholeRows) {
  const StreamingUpdateResult result{std::vector<float>(24), std::vector<float>(30), 4};
  EXPECT_EQ(result.confirmedFrameCount(), 6);
  EXPECT_EQ(result.tentativeFrameCount(), 7);
}

}  // namespace
}  // namespace tesselaudio
