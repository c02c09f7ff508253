#include "speech/Diarizer/Offline/Reconstruction/ZeroVoteReembedder.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

namespace tesselaudio {
namespace {

using ZeroVoteReembedder::FrameRange;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

// `frames` frames of speaker count 1 and two zero activation sums.
struct Frames {
  explicit Frames(std::size_t frames) : counts(frames, 1), sums(frames, std::vector<double>(2, 0.0)) {}

  std::vector<FrameRange> runs(double frameDuration = 0.016, double minimum = 0.4) const {
    return ZeroVoteReembedder::detectRuns(counts, sums, frameDuration, minimum);
  }

  std::vector<std::int64_t> counts;
  std::vector<std::vector<double>> sums;
};

TEST(ZeroVoteReembedderTest, RunsLastAtLeastTheMinimum) {
  Frames frames(100);
  // Voted or silent frames end a run: [0, 10) is too short, [11, 36) is 25 frames (0.4 s),
  // [37, 61) only 24.
  frames.sums[10][1] = 0.5;
  frames.counts[36] = 2;
  frames.counts[61] = 0;
  frames.sums[62][0] = 0.1;
  EXPECT_EQ(frames.runs(), (std::vector<FrameRange>{{11, 36}, {63, 100}}));

  // The same over one array of two sums per frame.
  std::vector<double> flat;
  for (const auto& row : frames.sums) flat.insert(flat.end(), row.begin(), row.end());
  EXPECT_EQ(ZeroVoteReembedder::detectRuns(frames.counts, flat, 2, 0.016, 0.4), frames.runs());
  EXPECT_TRUE(ZeroVoteReembedder::detectRuns(frames.counts, flat, 0, 0.016, 0.4).empty());
}

TEST(ZeroVoteReembedderTest, RunsStopAtTheShorterInput) {
  Frames frames(100);
  frames.sums.resize(50);
  EXPECT_EQ(frames.runs(), (std::vector<FrameRange>{{0, 50}}));
  frames.counts.resize(30);
  EXPECT_EQ(frames.runs(), (std::vector<FrameRange>{{0, 30}}));
}

TEST(ZeroVoteReembedderTest, NoRunsWithoutAPositiveFrameDuration) {
  const Frames frames(100);
  for (const double duration : {0.0, -0.016, kNaN}) {
    SCOPED_TRACE(duration);
    EXPECT_TRUE(frames.runs(duration).empty());
  }
}

TEST(ZeroVoteReembedderTest, AssignmentTakesTheFirstMostSimilarCentroid) {
  const std::vector<std::vector<double>> centroids = {{1, 0}, {0, 1}, {0, 1}};
  const auto assigned = ZeroVoteReembedder::assignment({0, 3}, centroids);
  ASSERT_TRUE(assigned);
  EXPECT_EQ(assigned->clusterIndex, 1);
  EXPECT_EQ(assigned->similarities, (std::vector<double>{0, 1, 1}));

  const auto tie = ZeroVoteReembedder::assignment({1, 1}, centroids);
  ASSERT_TRUE(tie);
  EXPECT_EQ(tie->clusterIndex, 0);
  EXPECT_NEAR(tie->similarities[0], std::sqrt(0.5), 1e-12);
}

TEST(ZeroVoteReembedderTest, AssignmentRefusesWhatCannotBeCompared) {
  struct Case {
    const char* name;
    std::vector<double> embedding;
    std::vector<std::vector<double>> centroids;
  };
  const Case cases[] = {
      {"emptyEmbedding", {}, {{1, 0}}},
      {"noCentroids", {1, 0}, {}},
      {"notANumber", {kNaN, 1}, {{1, 0}}},
      {"infinite", {kInfinity, 1}, {{1, 0}}},
      {"otherLength", {1, 0}, {{1, 0}, {1, 0, 0}}},
      {"zeroCentroid", {1, 0}, {{1, 0}, {0, 0}}},
      {"zeroEmbedding", {0, 0}, {{1, 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(ZeroVoteReembedder::assignment(c.embedding, c.centroids));
  }
}

}  // namespace
}  // namespace tesselaudio
