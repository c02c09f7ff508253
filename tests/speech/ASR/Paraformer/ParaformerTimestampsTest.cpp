#include "speech/ASR/Paraformer/ParaformerTimestamps.h"

#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ml/MLMultiArray.h"

namespace tesselaudio {
namespace {

namespace Timestamps = ParaformerTimestamps;

constexpr int kSampleRate = 16000;

// Silence of `seconds` with a loud stretch over each envelope frame range [first, last].
std::vector<float> audioWithRuns(double seconds, const std::vector<std::pair<int, int>>& runs) {
  std::vector<float> audio(static_cast<std::size_t>(seconds * kSampleRate), 0.0f);
  for (const auto& [first, last] : runs) {
    std::fill(audio.begin() + first * 160, audio.begin() + (last + 1) * 160, 0.3f);
  }
  return audio;
}

// Weights whose only fires (after upsampling) are at steps 3·frame + 1 and 3·frame + 2.
std::vector<float> weightsFiringAfterFrame(int frame) {
  std::vector<float> weights(static_cast<std::size_t>(frame) + 1, 0.0f);
  weights.back() = 0.67f;
  return weights;
}

void expectSegments(const std::vector<TimestampedSegment>& actual, const std::vector<TimestampedSegment>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE("segment " + std::to_string(i));
    EXPECT_EQ(actual[i].text, expected[i].text);
    EXPECT_NEAR(actual[i].startTime, expected[i].startTime, 1e-9);
    EXPECT_NEAR(actual[i].endTime, expected[i].endTime, 1e-9);
  }
}

TEST(ParaformerTimestampsTest, FireTimesRescaleWhenTheCountMissesThePieces) {
  struct Case {
    const char* name;
    std::vector<float> alphas;
    std::size_t pieces;
    std::vector<double> times;
  };
  const Case cases[] = {
      // 1, 1 upsample to six fires (0 … 5) for two pieces; rescaled they fire at 2, 4 and 6.
      {"SixFiresRescaledToThree", {1.0f, 1.0f}, 2, {0.04, 0.08, 0.12}},
      {"CountAlreadyRight", {0.5f, 0.5f}, 2, {0.02, 0.06, 0.10}},
      {"TailAloneRescaledToOneFire", {}, 1, {0.0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto times = Timestamps::fireTimes(c.alphas, c.pieces);
    ASSERT_EQ(times.size(), c.times.size());
    for (std::size_t k = 0; k < times.size(); ++k) EXPECT_NEAR(times[k], c.times[k], 1e-9);
  }
  EXPECT_EQ(Timestamps::cifWoHiddenFireIndices({1, 1, 1, 1, 1, 1, 0.45f}, 0.9999f),
            (std::vector<int>{0, 1, 2, 3, 4, 5}));
  // One fire takes 1.0 off, not the threshold; a weight fires at most once and the rest carries.
  EXPECT_EQ(Timestamps::cifWoHiddenFireIndices({0.5f, 0.49995f, 2.5f, 0.0f, 0.0f}, 0.9999f),
            (std::vector<int>{1, 2, 3}));
}

TEST(ParaformerTimestampsTest, EnvelopeIsTheRootMeanSquareOfFullWindows) {
  struct Case {
    const char* name;
    std::size_t samples;
    std::size_t windows;
  };
  const Case cases[] = {{"Empty", 0, 0}, {"OneWindowExactly", 160, 0}, {"OneMoreSample", 161, 1}, {"PartialDropped", 370, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<float> audio(c.samples, -0.5f);
    const auto envelope = Timestamps::energyEnvelope(audio, kSampleRate, 0.01);
    ASSERT_EQ(envelope.size(), c.windows);
    for (const float value : envelope) EXPECT_FLOAT_EQ(value, 0.5f);
  }
  std::vector<float> mixed(320, 0.0f);
  std::fill(mixed.begin(), mixed.begin() + 40, 1.0f);
  EXPECT_FLOAT_EQ(Timestamps::energyEnvelope(mixed, kSampleRate, 0.01).at(0), 0.5f);
}

TEST(ParaformerTimestampsTest, SmoothingAveragesExistingNeighboursOfTheRawValues) {
  EXPECT_EQ(Timestamps::smooth({1, 2, 9}, 3), (std::vector<float>{1, 2, 9}));
  EXPECT_EQ(Timestamps::smooth({}, 3), std::vector<float>{});
  EXPECT_EQ(Timestamps::smooth({0, 3, 6, 9}, 3), (std::vector<float>{1.5f, 3, 6, 7.5f}));
  EXPECT_EQ(Timestamps::smooth({0, 0, 9, 0, 0}, 3), (std::vector<float>{0, 3, 3, 3, 0}));
}

TEST(ParaformerTimestampsTest, PercentileTakesTheTruncatedPositionOfTheSortedValues) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    const char* name;
    std::vector<float> values;
    double q;
    float expected;
  };
  const Case cases[] = {
      {"Empty", {}, 0.5, 0},
      {"Median", {3, 1, 2}, 0.5, 2},
      {"TenthOfTenIsTheSmallest", {9, 8, 7, 6, 5, 4, 3, 2, 1, 0}, 0.1, 0},
      {"TruncatesDown", {4, 3, 2, 1}, 0.5, 2},
      {"Top", {4, 3, 2, 1}, 1.0, 4},
      {"AboveOneKeptInRange", {4, 3, 2, 1}, 1.5, 4},
      {"BelowZeroKeptInRange", {4, 3, 2, 1}, -0.5, 1},
      {"NanSortsLast", {nan, 5, nan, 1, 3}, 0.5, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Timestamps::percentile(c.values, c.q), c.expected);
  }
}

TEST(ParaformerTimestampsTest, ContinuationPiecesJoinIntoOneWord) {
  // Fires at 0.04, 0.08, 0.12 over a silent second: no speech run, so pieces follow the cursor.
  const auto words = Timestamps::segments({"ab@@", "\u2581cd"}, {1.0f, 1.0f}, std::vector<float>(16000, 0.0f));
  expectSegments(words, {{0.0, 0.5, "abcd"}});

  const auto separate = Timestamps::segments({"ab", "\u2581cd"}, {1.0f, 1.0f}, std::vector<float>(16000, 0.0f));
  expectSegments(separate, {{0.0, 0.1, "ab"}, {0.1, 0.5, "cd"}});

  // A marker at the very end is dropped, and a piece that is only a marker yields no word.
  const auto trailing = Timestamps::segments({"ab@@@@", "\u2581"}, {1.0f, 1.0f}, std::vector<float>(16000, 0.0f));
  expectSegments(trailing, {{0.0, 0.5, "ab"}});
}

TEST(ParaformerTimestampsTest, ShortAudioPlacesEverySegmentByTheCursor) {
  const std::vector<std::string> pieces = {"a", "b", "c"};
  const std::vector<float> alphas = {1.0f, 1.0f, 1.0f};
  struct Case {
    const char* name;
    std::size_t samples;
  };
  const Case cases[] = {{"OneWindow", 160}, {"LessThanAWindow", 100}, {"NoSamples", 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const double duration = static_cast<double>(c.samples) / kSampleRate;
    const auto words = Timestamps::segments(pieces, alphas, std::vector<float>(c.samples, 0.8f));
    ASSERT_EQ(words.size(), 3u);
    double cursor = 0;
    for (const auto& word : words) {
      EXPECT_DOUBLE_EQ(word.startTime, cursor);
      EXPECT_DOUBLE_EQ(word.endTime, std::min(cursor + 0.1, duration));
      cursor = word.endTime;
    }
  }
}

TEST(ParaformerTimestampsTest, SingleSegmentSpansTheAudioLeftUpToPointSix) {
  // One piece fires at step 25 (0.5 s) and closes at step 26.
  const auto alphas = weightsFiringAfterFrame(8);
  ASSERT_EQ(Timestamps::fireTimes(alphas, 1).size(), 2u);
  expectSegments(Timestamps::segments({"x"}, alphas, std::vector<float>(32000, 0.0f)), {{0.0, 0.6, "x"}});
  expectSegments(Timestamps::segments({"x"}, alphas, std::vector<float>(11200, 0.0f)), {{0.0, 0.2, "x"}});
}

TEST(ParaformerTimestampsTest, PieceTakesTheSpeechRunNearestItsFireTime) {
  // The piece fires at 0.5 s: frame 50. Smoothing widens each run by one frame on both sides.
  const auto alphas = weightsFiringAfterFrame(8);
  struct Case {
    const char* name;
    std::vector<std::pair<int, int>> runs;
    TimestampedSegment expected;
  };
  const Case cases[] = {
      {"EquallyCloseRunsGiveTheEarlier", {{30, 39}, {61, 70}}, {0.29, 0.40, "x"}},
      {"CloserLaterRun", {{30, 39}, {55, 64}}, {0.54, 0.65, "x"}},
      {"SingleLoudFrameWidensToThree", {{50, 50}}, {0.49, 0.51, "x"}},
      {"RunCutShortAtTheSearchEndIsIgnored", {{156, 170}}, {0.0, 0.6, "x"}},
      {"RunPastTheSearchEndIsIgnored", {{170, 180}}, {0.0, 0.6, "x"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    expectSegments(Timestamps::segments({"x"}, alphas, audioWithRuns(2.0, c.runs)), {c.expected});
  }
}

TEST(ParaformerTimestampsTest, PiecesComeFromTheLogitsOfCountedIds) {
  // Rows pick ids 4, 0 (blank), 2 (end), 9 (not in the vocabulary), 5 (empty piece), 6.
  const std::vector<int> picks = {4, 0, 2, 9, 5, 6};
  platform::MLMultiArray logits({1, static_cast<int64_t>(picks.size()), 10}, platform::MLMultiArrayDataType::float32);
  for (std::size_t row = 0; row < picks.size(); ++row) {
    logits.set({0, static_cast<int64_t>(row), picks[row]}, platform::NSNumber(1.0f));
  }
  const std::map<int, std::string> vocabulary = {{0, "<blank>"}, {2, "</s>"}, {4, "ab"}, {5, ""}, {6, "cd"}};
  const auto words = Timestamps::decodeWithTimestamps(logits, static_cast<int>(picks.size()), {1.0f, 1.0f},
                                                      std::vector<float>(16000, 0.0f), vocabulary);
  expectSegments(words, {{0.0, 0.1, "ab"}, {0.1, 0.5, "cd"}});
  EXPECT_TRUE(Timestamps::decodeWithTimestamps(logits, 3, {1.0f}, std::vector<float>(16000, 0.0f), vocabulary)
                  .size() == 1u);
  EXPECT_TRUE(Timestamps::decodeWithTimestamps(logits, 0, {1.0f}, std::vector<float>(16000, 0.0f), vocabulary)
                  .empty());
}

}  // namespace
}  // namespace tesselaudio
