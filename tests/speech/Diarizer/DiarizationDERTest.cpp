#include "speech/Diarizer/DiarizationDER.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include <gtest/gtest.h>

#include "platform/sys/InvalidArgumentError.h"
#include "speech/Diarizer/HungarianAssignment.h"

namespace tesselaudio {
namespace {

using Segments = std::vector<DERSpeakerSegment>;
using Mapping = std::map<std::string, std::string>;

struct DERCase {
  const char* name;
  Segments ref;
  Segments hyp;
  double collar;
  DERResult expected;
};

class DiarizationDERTest : public testing::TestWithParam<DERCase> {};

TEST_P(DiarizationDERTest, ScoresOnHalfSecondFrames) {
  const auto& c = GetParam();
  const auto result = DiarizationDER::compute(c.ref, c.hyp, 0.5, c.collar);
  EXPECT_DOUBLE_EQ(result.der, c.expected.der);
  EXPECT_DOUBLE_EQ(result.confusion, c.expected.confusion);
  EXPECT_DOUBLE_EQ(result.falseAlarm, c.expected.falseAlarm);
  EXPECT_DOUBLE_EQ(result.miss, c.expected.miss);
  EXPECT_DOUBLE_EQ(result.totalRefSpeech, c.expected.totalRefSpeech);
  EXPECT_EQ(result.mapping, c.expected.mapping);
}

// Expected numbers in the order der, confusion, falseAlarm, miss, totalRefSpeech.
const DERCase kCases[] = {
    {"bothEmpty", {}, {}, 0.0, {0, 0, 0, 0, 0, {}}},
    {"bothEmptyWithCollar", {}, {}, 1.0, {0, 0, 0, 0, 0, {}}},
    {"onlyHypothesis", {}, {{"x", 0, 2}}, 0.0, {0, 0, 2.0, 0, 0, {}}},
    {"onlyReference", {{"A", 0, 2}}, {}, 0.0, {1.0, 0, 0, 2.0, 2.0, {}}},
    {"twoSpeakersSwapLate", {{"A", 0, 5}, {"B", 5, 10}}, {{"x", 0, 6}, {"y", 6, 10}}, 0.0,
     {0.1, 1.0, 0, 0, 10.0, {{"x", "A"}, {"y", "B"}}}},
    {"twoSpeakersWithCollar", {{"A", 0, 5}, {"B", 5, 10}}, {{"x", 0, 6}, {"y", 6, 10}}, 1.0,
     {0.0625, 0.5, 0, 0, 8.0, {{"x", "A"}, {"y", "B"}}}},
    {"oneHypothesisOverTwoReferences", {{"A", 0, 5}, {"B", 5, 10}}, {{"x", 0, 10}}, 0.0,
     {0.5, 5.0, 0, 0, 10.0, {{"x", "A"}}}},
    {"overlappingReferencesCountTwice", {{"A", 0, 10}, {"B", 2, 4}}, {{"x", 0, 10}}, 0.0,
     {1.0 / 6.0, 0, 0, 2.0, 12.0, {{"x", "A"}}}},
    {"unmappedHypothesisSpeaker", {{"A", 0, 4}, {"B", 4, 8}}, {{"x", 0, 4}, {"y", 4, 8}, {"z", 8, 9}}, 0.0,
     {0.125, 0, 1.0, 0, 8.0, {{"x", "A"}, {"y", "B"}}}},
    // 0.75–1.25 s and 0.5–1.0 s both cover exactly frame 1: 1.5 rounds down to 1, 2.5 to 2.
    {"halvesRoundDown", {{"A", 0.75, 1.25}}, {{"x", 0.5, 1.0}}, 0.0, {0, 0, 0, 0, 0.5, {{"x", "A"}}}},
    {"halvesRoundDownMissingTheNextFrame", {{"A", 0.75, 1.25}}, {{"x", 1.0, 1.5}}, 0.0,
     {2.0, 0, 0.5, 0.5, 0.5, {}}},
    // A takes a column but is never active, so x maps to B.
    {"zeroLengthReferenceSegment", {{"A", 1, 1}, {"B", 0, 2}}, {{"x", 0, 2}}, 0.0, {0, 0, 0, 0, 2.0, {{"x", "B"}}}},
    {"zeroLengthReferenceAlone", {{"A", 1, 1}}, {{"x", 0, 2}}, 0.0, {0, 0, 2.0, 0, 0, {}}},
    {"segmentsInAnyOrder", {{"B", 5, 10}, {"A", 0, 5}}, {{"y", 6, 10}, {"x", 0, 6}}, 0.0,
     {0.1, 1.0, 0, 0, 10.0, {{"x", "A"}, {"y", "B"}}}},
};

INSTANTIATE_TEST_SUITE_P(Cases, DiarizationDERTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<DERCase>& info) { return info.param.name; });

// The scoring written frame by frame on two boolean grids, to check the run-by-run scorer against.
DERResult scoreFrameByFrame(const Segments& ref, const Segments& hyp, double step, double collar) {
  auto index = [](const Segments& segments, std::vector<std::string>& labels) {
    std::map<std::string, std::int64_t> seen;
    std::vector<std::int64_t> of;
    for (const auto& s : segments) {
      auto [at, added] = seen.try_emplace(s.speaker, static_cast<std::int64_t>(labels.size()));
      if (added) labels.push_back(s.speaker);
      of.push_back(at->second);
    }
    return of;
  };
  std::vector<std::string> refLabels, hypLabels;
  const auto refOf = index(ref, refLabels), hypOf = index(hyp, hypLabels);
  const auto R = static_cast<std::int64_t>(refLabels.size()), H = static_cast<std::int64_t>(hypLabels.size());
  double maxEnd = 0;
  for (const auto* list : {&ref, &hyp}) {
    for (const auto& s : *list) maxEnd = std::max(maxEnd, s.end);
  }
  const auto frames = static_cast<std::int64_t>(std::ceil(maxEnd / step)) + 1;
  auto grid = [&](const Segments& segments, const std::vector<std::int64_t>& of, std::int64_t n) {
    std::vector<std::vector<bool>> active(static_cast<std::size_t>(frames), std::vector<bool>(static_cast<std::size_t>(n)));
    for (std::size_t i = 0; i < segments.size(); ++i) {
      if (!(segments[i].start < segments[i].end)) continue;
      const auto first = static_cast<std::int64_t>(std::ceil(segments[i].start / step - 0.5));
      const auto last = static_cast<std::int64_t>(std::ceil(segments[i].end / step - 0.5));
      for (std::int64_t f = std::max<std::int64_t>(first, 0); f < std::min(frames, last); ++f) {
        active[static_cast<std::size_t>(f)][static_cast<std::size_t>(of[i])] = true;
      }
    }
    return active;
  };
  const auto refGrid = grid(ref, refOf, R), hypGrid = grid(hyp, hypOf, H);
  std::vector<std::vector<std::int64_t>> overlap(static_cast<std::size_t>(H), std::vector<std::int64_t>(static_cast<std::size_t>(R)));
  for (std::int64_t f = 0; f < frames; ++f) {
    for (std::int64_t h = 0; h < H; ++h) {
      for (std::int64_t r = 0; r < R; ++r) {
        if (hypGrid[f][h] && refGrid[f][r]) ++overlap[h][r];
      }
    }
  }
  const std::int64_t n = std::max(H, R);
  std::int64_t most = 0;
  for (const auto& row : overlap) {
    for (auto v : row) most = std::max(most, v);
  }
  std::vector<std::int64_t> cost(static_cast<std::size_t>(n * n), most);
  for (std::int64_t h = 0; h < H; ++h) {
    for (std::int64_t r = 0; r < R; ++r) cost[static_cast<std::size_t>(h * n + r)] = most - overlap[h][r];
  }
  const auto columns = HungarianAssignment::solve(cost, n);
  DERResult result;
  std::vector<std::int64_t> mapped(static_cast<std::size_t>(H), -1);
  for (std::int64_t h = 0; h < H; ++h) {
    const auto r = columns[static_cast<std::size_t>(h)];
    if (r < R && overlap[h][r] > 0) {
      mapped[static_cast<std::size_t>(h)] = r;
      result.mapping[hypLabels[h]] = refLabels[r];
    }
  }
  std::vector<bool> scored(static_cast<std::size_t>(frames), true);
  if (collar > 0) {
    for (const auto& s : ref) {
      if (!(s.start < s.end)) continue;
      for (double t : {s.start, s.end}) {
        const auto from = std::max<std::int64_t>(static_cast<std::int64_t>(std::floor((t - collar / 2) / step)), 0);
        const auto to = std::min(frames, static_cast<std::int64_t>(std::ceil((t + collar / 2) / step)));
        for (std::int64_t f = from; f < to; ++f) scored[static_cast<std::size_t>(f)] = false;
      }
    }
  }
  std::int64_t miss = 0, falseAlarm = 0, confusion = 0, total = 0;
  for (std::int64_t f = 0; f < frames; ++f) {
    if (!scored[f]) continue;
    std::int64_t l = 0, k = 0, c = 0;
    for (std::int64_t r = 0; r < R; ++r) l += refGrid[f][r];
    for (std::int64_t h = 0; h < H; ++h) {
      if (!hypGrid[f][h]) continue;
      ++k;
      if (mapped[h] >= 0 && refGrid[f][mapped[h]]) ++c;
    }
    miss += std::max<std::int64_t>(l - k, 0);
    falseAlarm += std::max<std::int64_t>(k - l, 0);
    confusion += std::min(k, l) - c;
    total += l;
  }
  result.miss = static_cast<double>(miss) * step;
  result.falseAlarm = static_cast<double>(falseAlarm) * step;
  result.confusion = static_cast<double>(confusion) * step;
  result.totalRefSpeech = static_cast<double>(total) * step;
  result.der = result.totalRefSpeech > 0 ? (result.confusion + (result.falseAlarm + result.miss)) / result.totalRefSpeech : 0;
  return result;
}

TEST(DiarizationDERRandomTest, RunsScoreAsFramesDo) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> time(-2.0, 60.0), length(-1.0, 8.0);
  std::uniform_int_distribution<int> speakers(0, 4), count(0, 25);
  const double steps[] = {0.01, 0.1, 0.25, 0.5, 1.0};
  const double collars[] = {0.0, 0.2, 0.5, 1.0, 3.0};
  auto segments = [&](const char* prefix) {
    Segments list(static_cast<std::size_t>(count(random)));
    for (auto& s : list) {
      s.speaker = prefix + std::to_string(speakers(random));
      s.start = time(random);
      s.end = s.start + length(random);
    }
    return list;
  };
  for (int trial = 0; trial < 300; ++trial) {
    SCOPED_TRACE("trial " + std::to_string(trial));
    const auto ref = segments("R"), hyp = segments("H");
    const double step = steps[trial % 5], collar = collars[(trial / 5) % 5];
    const auto runs = DiarizationDER::compute(ref, hyp, step, collar);
    const auto frames = scoreFrameByFrame(ref, hyp, step, collar);
    ASSERT_EQ(runs.mapping, frames.mapping);
    ASSERT_NEAR(runs.miss, frames.miss, 1e-9);
    ASSERT_NEAR(runs.falseAlarm, frames.falseAlarm, 1e-9);
    ASSERT_NEAR(runs.confusion, frames.confusion, 1e-9);
    ASSERT_NEAR(runs.totalRefSpeech, frames.totalRefSpeech, 1e-9);
    ASSERT_NEAR(runs.der, frames.der, 1e-12);
  }
}

TEST(DiarizationDERPreconditionTest, RefusesStepsCollarsAndEndsItCannotScore) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    const char* name;
    Segments ref, hyp;
    double frameStep, collar;
    const char* parameter;
  };
  const Case cases[] = {
      {"zeroStep", {{"A", 0, 1}}, {}, 0.0, 0.0, "frameStep"},
      {"negativeStep", {{"A", 0, 1}}, {}, -0.5, 0.0, "frameStep"},
      {"nanStep", {}, {}, nan, 0.0, "frameStep"},
      {"negativeCollar", {{"A", 0, 1}}, {}, 0.5, -0.1, "collar"},
      {"nanCollar", {}, {}, 0.5, nan, "collar"},
      {"infiniteReferenceEnd", {{"A", 0, inf}}, {}, 0.5, 0.0, "ref"},
      {"hypothesisEndBeyondSixtyFourBits", {{"A", 0, 1}}, {{"x", 0, 1e18}}, 0.001, 0.0, "hyp"},
      {"beyondTwoToTheFiftyFrames", {{"A", 0, 2e15}}, {{"x", 0, 1}}, 1.0, 0.0, "ref"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      DiarizationDER::compute(c.ref, c.hyp, c.frameStep, c.collar);
      ADD_FAILURE() << "no error";
    } catch (const platform::InvalidArgumentError& error) {
      EXPECT_EQ(error.parameter(), c.parameter);
    }
  }
}

TEST(DiarizationDERPreconditionTest, TimesBeyondTheGridAreClipped) {
  // A start at minus infinity marks from frame 0; a NaN segment marks nothing.
  const auto result = DiarizationDER::compute({{"A", -std::numeric_limits<double>::infinity(), 2}, {"B", std::nan(""), 1}},
                                              {{"x", -3, 2}}, 0.5, 0.5);
  EXPECT_DOUBLE_EQ(result.totalRefSpeech, 1.5);
  EXPECT_DOUBLE_EQ(result.der, 0.0);
  EXPECT_EQ(result.mapping, (Mapping{{"x", "A"}}));
}

TEST(DiarizationDERPreconditionTest, FarEndTimesCostNoMemory) {
  // 10^15 frames of one second.
  const auto result = DiarizationDER::compute({{"A", 0, 1e15}}, {{"x", 0, 5e14}}, 1.0, 0.0);
  EXPECT_DOUBLE_EQ(result.totalRefSpeech, 1e15);
  EXPECT_DOUBLE_EQ(result.miss, 5e14);
  EXPECT_DOUBLE_EQ(result.der, 0.5);
  EXPECT_EQ(result.mapping, (Mapping{{"x", "A"}}));
}

TEST(DERSpeakerSegmentTest, EqualAndHashedFieldByField) {
  const std::unordered_set<DERSpeakerSegment> segments = {{"A", 0, 1}, {"A", 0, 1}, {"A", 0, 2}, {"B", 0, 1}};
  EXPECT_EQ(segments.size(), 3u);
  EXPECT_NE((DERSpeakerSegment{"A", 0, 1}), (DERSpeakerSegment{"A", 1, 1}));
}

}  // namespace
}  // namespace tesselaudio
