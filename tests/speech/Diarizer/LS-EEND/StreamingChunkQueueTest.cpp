#include "speech/Diarizer/LS-EEND/StreamingChunkQueue.h"

#include <numeric>
#include <vector>

#include <gtest/gtest.h>

namespace tesselaudio {
namespace {

std::vector<float> counting(int count, float start) {
  std::vector<float> values(static_cast<size_t>(count));
  std::iota(values.begin(), values.end(), start);
  return values;
}

std::vector<float> toVector(std::span<const float> span) { return {span.begin(), span.end()}; }

TEST(StreamingChunkQueueTest, StartsWithLeftContextZeros) {
  // Chunks of 3 frames of 2 floats, 2 frames of left and 1 of right context.
  StreamingChunkQueue queue(3, 2, 1, 2);
  EXPECT_EQ(queue.stride(), 2);
  EXPECT_EQ(queue.contextFloats(), 6);
  EXPECT_EQ(queue.chunkFloats(), 6);
  EXPECT_EQ(queue.paddedChunkFloats(), 12);
  EXPECT_EQ(queue.unreadFloats(), 4);
  EXPECT_EQ(toVector(queue.unread()), std::vector<float>(4, 0.0f));
  EXPECT_EQ(queue.readyChunks(), 0);
  EXPECT_FALSE(queue.hasChunk());
  EXPECT_FALSE(queue.isEmpty());
  EXPECT_TRUE(StreamingChunkQueue(3, 0, 1, 2).isEmpty());
}

TEST(StreamingChunkQueueTest, ChunksOverlapByTheirContext) {
  StreamingChunkQueue queue(3, 2, 1, 1);  // chunks of 6 floats, advancing by 3
  EXPECT_FALSE(queue.popNextChunk());
  queue.append(counting(10, 1));  // 0 0 1 2 ... 10
  EXPECT_EQ(queue.readyChunks(), 3);
  ASSERT_TRUE(queue.hasChunk());
  EXPECT_EQ(toVector(*queue.popNextChunk()), (std::vector<float>{0, 0, 1, 2, 3, 4}));
  EXPECT_EQ(toVector(*queue.popNextChunk()), (std::vector<float>{2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(toVector(*queue.popNextChunk()), (std::vector<float>{5, 6, 7, 8, 9, 10}));
  EXPECT_FALSE(queue.popNextChunk());
  EXPECT_EQ(queue.unreadFloats(), 3);
}

TEST(StreamingChunkQueueTest, PopAllTakesEveryWholeChunkAtOnce) {
  StreamingChunkQueue queue(3, 2, 1, 1);
  queue.append(counting(3, 1));
  EXPECT_FALSE(queue.popAllChunks());
  queue.append(counting(8, 4));  // 0 0 1 ... 11: 13 floats, 3 chunks
  const auto all = queue.popAllChunks();
  ASSERT_TRUE(all);
  EXPECT_EQ(all->size(), 12u);
  EXPECT_EQ(toVector(*all), (std::vector<float>{0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
  EXPECT_EQ(toVector(queue.unread()), (std::vector<float>{8, 9, 10, 11}));
  EXPECT_EQ(queue.readyChunks(), 0);
}

TEST(StreamingChunkQueueTest, CompactsOnlyWhenAnAppendWouldOutgrowTheBuffer) {
  StreamingChunkQueue queue(4, 1, 1, 1);  // padded chunk of 6: room for 12
  queue.append(counting(9, 1));
  ASSERT_TRUE(queue.popNextChunk());
  ASSERT_TRUE(queue.popNextChunk());
  EXPECT_EQ(queue.head(), 8);
  queue.append(counting(2, 10));  // 12 floats: still fits
  EXPECT_EQ(queue.head(), 8);
  queue.append(counting(3, 12));  // would outgrow: consumed floats go first
  EXPECT_EQ(queue.head(), 0);
  EXPECT_EQ(toVector(queue.unread()), (std::vector<float>{8, 9, 10, 11, 12, 13, 14}));
  EXPECT_EQ(toVector(*queue.popNextChunk()), (std::vector<float>{8, 9, 10, 11, 12, 13}));
}

TEST(StreamingChunkQueueTest, ResetReturnsToTheFreshQueue) {
  StreamingChunkQueue queue(3, 2, 1, 1);
  const StreamingChunkQueue fresh = queue;
  queue.append(counting(20, 1));
  queue.popAllChunks();
  queue.reset();
  EXPECT_EQ(queue, fresh);
  queue.appendZeros(0);
  EXPECT_EQ(queue, fresh);
}

}  // namespace
}  // namespace tesselaudio
