#include "speech/Diarizer/Offline/Reconstruction/OfflineReconstruction.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "speech/Shared/AppLogger.h"
#include "tests/support/SystemLogCapture.h"

namespace tesselaudio {
namespace {

using Clusters = std::vector<std::vector<std::int64_t>>;
using Centroids = std::vector<std::vector<double>>;

constexpr double kFrame = 0.016;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
const Centroids kTwoCentroids = {{1.0, 0.0}, {0.0, 1.0}};

// Windows of `frames` frames and three silent local speakers, back to back.
SegmentationOutput windows(std::int64_t chunks, std::int64_t frames, double frameDuration = kFrame) {
  SegmentationOutput output;
  output.numChunks = chunks;
  output.numFrames = frames;
  output.numSpeakers = 3;
  output.frameDuration = frameDuration;
  for (std::int64_t k = 0; k < chunks; ++k) {
    output.speakerWeights.emplace_back(static_cast<std::size_t>(frames), std::vector<float>(3, 0.0f));
    output.chunkOffsets.push_back(static_cast<double>(k * frames) * frameDuration);
  }
  return output;
}

// Gives local speaker `speaker` of window `chunk` the activity `value` in frames [first, last].
void activate(SegmentationOutput& output, std::size_t chunk, std::size_t speaker, std::size_t first,
              std::size_t last, float value = 1.0f) {
  for (std::size_t t = first; t <= last; ++t) output.speakerWeights[chunk][t][speaker] = value;
}

// "S1 0.160-0.320 q0.750" per segment, in order.
std::vector<std::string> described(const std::vector<TimedSpeakerSegment>& segments) {
  std::vector<std::string> out;
  for (const auto& s : segments) {
    out.push_back(fmt::format("{} {:.3f}-{:.3f} q{:.3f}", s.speakerId, s.startTimeSeconds, s.endTimeSeconds,
                              s.qualityScore));
  }
  return out;
}

// A span embedder that records its calls and answers with `answer`.
struct RecordingEmbedder {
  std::optional<std::vector<float>> answer;
  std::vector<std::pair<double, double>> calls = {};

  OfflineReconstruction::SpanEmbedder function() {
    return [this](double start, double end) {
      calls.emplace_back(start, end);
      return answer;
    };
  }
};

// Reconstruction with both minimum segment lengths at 0, and the log of the test.
class OfflineReconstructionTest : public testing::Test {
 protected:
  OfflineReconstructionTest() {
    AppLogger::setMirrorsToConsole(false);
    reconstruction_.config.embedding.minSegmentDurationSeconds = 0;
    reconstruction_.config.segmentation.minDurationOn = 0;
  }
  ~OfflineReconstructionTest() override { AppLogger::setMirrorsToConsole(true); }

  OfflineDiarizerConfig& config() { return reconstruction_.config; }

  std::vector<std::string> build(const SegmentationOutput& segmentation, const Clusters& clusters,
                                 const Centroids& centroids = kTwoCentroids,
                                 const OfflineReconstruction::SpanEmbedder& embedder = {}) {
    segments_ = reconstruction_.buildSegments(segmentation, clusters, centroids, embedder);
    return described(segments_);
  }

  std::vector<std::string> messages() const { return log_.messages("OfflineReconstruction"); }

  testsupport::SystemLogCapture log_;
  OfflineReconstruction reconstruction_;
  std::vector<TimedSpeakerSegment> segments_;
};

TEST_F(OfflineReconstructionTest, DegenerateInputsGiveNoSegments) {
  struct Case {
    const char* name;
    SegmentationOutput segmentation;
  };
  auto zeroDuration = windows(1, 50);
  zeroDuration.frameDuration = 0;
  auto noChunks = windows(1, 50);
  noChunks.numChunks = 0;
  auto noFrames = windows(1, 50);
  noFrames.numFrames = 0;
  auto offsetNotFinite = windows(1, 50);
  offsetNotFinite.chunkOffsets = {kNaN};
  const Case cases[] = {{"frameDurationZero", zeroDuration},
                        {"noChunks", noChunks},
                        {"noFrames", noFrames},
                        {"offsetNotFinite", offsetNotFinite}};
  for (Case c : cases) {
    SCOPED_TRACE(c.name);
    activate(c.segmentation, 0, 0, 0, 49);
    EXPECT_TRUE(build(c.segmentation, {{0, -2, -2}}).empty());
  }
}

TEST_F(OfflineReconstructionTest, OneClusterGivesOneSegmentWithItsMeanActivity) {
  auto segmentation = windows(1, 100);
  for (std::size_t t = 10; t <= 19; ++t) activate(segmentation, 0, 0, t, t, t % 2 == 0 ? 0.6f : 0.9f);
  const Centroids centroids = {{0.1, 0.2}, {0.3, 0.4}};
  EXPECT_EQ(build(segmentation, {{0, -2, -2}}, centroids), (std::vector<std::string>{"S1 0.160-0.320 q0.750"}));
  EXPECT_EQ(segments_.at(0).embedding, (std::vector<float>{0.1f, 0.2f}));

  config().embedding.minSegmentDurationSeconds = 1.0;
  EXPECT_TRUE(build(segmentation, {{0, -2, -2}}, centroids).empty());
}

TEST_F(OfflineReconstructionTest, QualityIsAtMostOneAndNoCentroidGivesNoEmbedding) {
  auto segmentation = windows(1, 100);
  activate(segmentation, 0, 0, 10, 19, 1.5f);
  EXPECT_EQ(build(segmentation, {{0, -2, -2}}, {}), (std::vector<std::string>{"S1 0.160-0.320 q1.000"}));
  EXPECT_TRUE(segments_.at(0).embedding.empty());
}

TEST_F(OfflineReconstructionTest, FramesWithoutVotesTakeTieBreakClusters) {
  struct Case {
    const char* name;
    Clusters clusters;
    const char* segment;
  };
  const Case cases[] = {
      {"voted", {{1, -2, -2}}, "S2 0.160-0.320 q1.000"},
      {"noEntry", {}, "S1 0.160-0.320 q0.000"},
      {"noCluster", {{-2, -2, -2}}, "S1 0.160-0.320 q0.000"},
      {"outOfRange", {{2, 9, 7}}, "S1 0.160-0.320 q0.000"},
      {"shorterThanTheSpeakers", {{}}, "S1 0.160-0.320 q0.000"},
  };
  auto segmentation = windows(1, 100);
  activate(segmentation, 0, 0, 10, 19);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(build(segmentation, c.clusters), (std::vector<std::string>{c.segment}));
  }
}

TEST_F(OfflineReconstructionTest, WindowWithoutClustersAddsSpeakerMassButNoVotes) {
  auto segmentation = windows(2, 50);
  activate(segmentation, 0, 0, 10, 19);
  activate(segmentation, 1, 0, 10, 19);
  // The second window has no entry: its speaker is heard, but goes to the tie-break cluster 0.
  EXPECT_EQ(build(segmentation, {{1, -2, -2}}),
            (std::vector<std::string>{"S2 0.160-0.320 q1.000", "S1 0.960-1.120 q0.000"}));
}

TEST_F(OfflineReconstructionTest, ShortRowsAndOverlappingWindowsStayInBounds) {
  auto segmentation = windows(2, 50);
  segmentation.chunkOffsets = {-0.5, 0.4};
  segmentation.speakerWeights[1] = std::vector<std::vector<float>>(50, std::vector<float>{1.0f});
  // Window 0 lies partly before the start: its early frames land on frame 0.
  activate(segmentation, 0, 2, 0, 49);
  EXPECT_EQ(build(segmentation, {{0, 1}, {1, 0, 0, 0}}),
            (std::vector<std::string>{"S1 0.000-0.304 q0.000", "S2 0.400-1.200 q1.000"}));
}

TEST_F(OfflineReconstructionTest, MissingOffsetsFallBackToWindowMultiples) {
  config().segmentation.windowDurationSeconds = 2.0;
  auto segmentation = windows(2, 50);
  segmentation.chunkOffsets = {0.0};
  activate(segmentation, 1, 1, 0, 9);
  EXPECT_EQ(build(segmentation, {{0, 1, -2}, {0, 1, -2}}), (std::vector<std::string>{"S2 2.000-2.160 q1.000"}));
}

TEST_F(OfflineReconstructionTest, SpeakerCountRoundsHalvesToEvenAndIsLogged) {
  const Centroids three = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  auto segmentation = windows(1, 120);
  // Mass 1.5 gives two speakers.
  activate(segmentation, 0, 0, 0, 49, 1.0f);
  activate(segmentation, 0, 1, 0, 49, 0.5f);
  // Mass 2.5 gives two speakers too, not three.
  activate(segmentation, 0, 0, 50, 99, 1.0f);
  activate(segmentation, 0, 1, 50, 99, 1.0f);
  activate(segmentation, 0, 2, 50, 99, 0.5f);
  EXPECT_EQ(build(segmentation, {{0, 1, 2}}, three),
            (std::vector<std::string>{"S1 0.000-1.600 q1.000", "S2 0.000-1.600 q0.750"}));
  EXPECT_EQ(messages(), (std::vector<std::string>{"Speaker-count histogram 0:20, 2:100"}));

  // Never more than the local speakers of a window.
  segmentation.numSpeakers = 1;
  EXPECT_EQ(build(segmentation, {{0, 1, 2}}, three), (std::vector<std::string>{"S1 0.000-1.600 q1.000"}));
}

TEST_F(OfflineReconstructionTest, CloseSegmentsOfOneSpeakerMerge) {
  struct Case {
    const char* name;
    std::size_t secondStart;
    double minGap, minOff;
    std::vector<std::string> segments;
  };
  const Case cases[] = {
      // 10 frames at 0.6 and 20 at 1.0: the quality weighs each by its length.
      {"gapBelowMinGap", 22, 0.1, 0.0, {"S1 0.160-0.672 q0.867"}},
      {"gapBelowMinDurationOff", 30, 0.1, 0.2, {"S1 0.160-0.800 q0.867"}},
      {"gapTooLong", 30, 0.1, 0.0, {"S1 0.160-0.320 q0.600", "S1 0.480-0.800 q1.000"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    config().postProcessing.minGapDurationSeconds = c.minGap;
    config().segmentation.minDurationOff = c.minOff;
    auto segmentation = windows(1, 100);
    activate(segmentation, 0, 0, 10, 19, 0.6f);
    activate(segmentation, 0, 0, c.secondStart, c.secondStart + 19, 1.0f);
    EXPECT_EQ(build(segmentation, {{0, 1, -2}}), c.segments);
  }
}

TEST_F(OfflineReconstructionTest, AnotherSpeakerBetweenKeepsSegmentsApart) {
  auto segmentation = windows(1, 100);
  activate(segmentation, 0, 0, 10, 19);
  activate(segmentation, 0, 1, 20, 21);
  activate(segmentation, 0, 0, 22, 31);
  EXPECT_EQ(build(segmentation, {{0, 1, -2}}),
            (std::vector<std::string>{"S1 0.160-0.320 q1.000", "S2 0.320-0.352 q1.000", "S1 0.352-0.512 q1.000"}));
}

TEST_F(OfflineReconstructionTest, ExclusiveSegmentsCutOverlaps) {
  struct Case {
    const char* name;
    double minimum;
    std::vector<std::string> segments;
  };
  const Case cases[] = {
      // S2 keeps half its length, so half its quality.
      {"keptFromTheEndOfTheLast", 0.0, {"S1 0.160-0.640 q0.800", "S2 0.640-0.960 q0.400"}},
      {"remainderBelowTheMinimum", 0.4, {"S1 0.160-0.640 q0.800"}},
  };
  config().postProcessing.exclusiveSegments = true;
  auto segmentation = windows(1, 100);
  activate(segmentation, 0, 0, 10, 39, 0.8f);
  activate(segmentation, 0, 1, 20, 59, 0.8f);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    config().embedding.minSegmentDurationSeconds = c.minimum;
    EXPECT_EQ(build(segmentation, {{0, 1, -2}}), c.segments);
  }
  config().postProcessing.exclusiveSegments = false;
  EXPECT_EQ(build(segmentation, {{0, 1, -2}}),
            (std::vector<std::string>{"S1 0.160-0.640 q0.800", "S2 0.320-0.960 q0.800"}));
}

TEST_F(OfflineReconstructionTest, SpeakerIdsSortAsText) {
  Centroids ten(10, std::vector<double>(2, 1.0));
  auto segmentation = windows(1, 50);
  activate(segmentation, 0, 0, 10, 19);
  activate(segmentation, 0, 1, 10, 19);
  EXPECT_EQ(build(segmentation, {{1, 9, -2}}, ten),
            (std::vector<std::string>{"S10 0.160-0.320 q1.000", "S2 0.160-0.320 q1.000"}));
}

// Frames 10 ... 34 (25 frames, 0.4 s) with one heard local speaker and no cluster.
class ZeroVoteReembedTest : public OfflineReconstructionTest {
 protected:
  ZeroVoteReembedTest() : segmentation_(windows(1, 100)) {
    config().zeroVoteReembed.enabled = true;
    activate(segmentation_, 0, 0, 10, 34);
  }

  std::vector<std::string> reembed(RecordingEmbedder& embedder, const Centroids& centroids = kTwoCentroids) {
    return build(segmentation_, {{-2, -2, -2}}, centroids, embedder.function());
  }

  SegmentationOutput segmentation_;
};

TEST_F(ZeroVoteReembedTest, RunGoesToTheClosestCentroid) {
  RecordingEmbedder embedder{std::vector<float>{0.0f, 2.0f}};
  EXPECT_EQ(reembed(embedder), (std::vector<std::string>{"S2 0.160-0.560 q0.000"}));
  ASSERT_EQ(embedder.calls.size(), 1u);
  EXPECT_DOUBLE_EQ(embedder.calls[0].first, 0.16);
  EXPECT_DOUBLE_EQ(embedder.calls[0].second, 0.56);
  EXPECT_EQ(messages().back(), "Zero-vote re-embed [0.16s\u20130.56s]: assigned S2 (cosines [0.000, 1.000])");
}

TEST_F(ZeroVoteReembedTest, FailedEmbeddingKeepsTheTieBreak) {
  struct Case {
    const char* name;
    std::optional<std::vector<float>> answer;
  };
  const Case cases[] = {
      {"none", std::nullopt},
      {"notANumber", std::vector<float>{std::nanf(""), 1.0f}},
      {"otherLength", std::vector<float>{1.0f}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingEmbedder embedder{c.answer};
    EXPECT_EQ(reembed(embedder), (std::vector<std::string>{"S1 0.160-0.560 q0.000"}));
    EXPECT_EQ(embedder.calls.size(), 1u);
    EXPECT_EQ(messages().back(),
              "Zero-vote re-embed [0.16s\u20130.56s]: embedding failed; keeping tie-break assignment");
  }
}

TEST_F(ZeroVoteReembedTest, EmbedderIsCalledOnlyWhenEnabledWithCentroids) {
  RecordingEmbedder embedder{std::vector<float>{0.0f, 1.0f}};
  EXPECT_EQ(reembed(embedder, {}), (std::vector<std::string>{"S1 0.160-0.560 q0.000"}));
  config().zeroVoteReembed.enabled = false;
  EXPECT_EQ(reembed(embedder), (std::vector<std::string>{"S1 0.160-0.560 q0.000"}));
  EXPECT_TRUE(embedder.calls.empty());
  config().zeroVoteReembed.enabled = true;
  EXPECT_EQ(build(segmentation_, {{-2, -2, -2}}), (std::vector<std::string>{"S1 0.160-0.560 q0.000"}));
}

TEST_F(ZeroVoteReembedTest, ShortRunIsLeftAlone) {
  activate(segmentation_, 0, 0, 34, 34, 0.0f);
  RecordingEmbedder embedder{std::vector<float>{0.0f, 1.0f}};
  EXPECT_EQ(reembed(embedder), (std::vector<std::string>{"S1 0.160-0.544 q0.000"}));
  EXPECT_TRUE(embedder.calls.empty());
}

TEST_F(OfflineReconstructionTest, SpeakerDatabaseAveragesEachSpeakersSegments) {
  const std::vector<TimedSpeakerSegment> segments = {
      {"S1", {1.0f, 2.0f}, 0.0f, 1.0f, 1.0f},
      {"S2", {5.0f, 6.0f}, 1.0f, 2.0f, 1.0f},
      {"S1", {3.0f, 4.0f}, 2.0f, 3.0f, 1.0f},
  };
  const auto database = reconstruction_.buildSpeakerDatabase(segments);
  EXPECT_EQ(database, (std::map<std::string, std::vector<float>>{{"S1", {2.0f, 3.0f}}, {"S2", {5.0f, 6.0f}}}));
  EXPECT_TRUE(reconstruction_.buildSpeakerDatabase({}).empty());
}

}  // namespace
}  // namespace tesselaudio
