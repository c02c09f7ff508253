#include "speech/Diarizer/DiarizerSegment.h"

#include <algorithm>
#include <vector>

#include <gtest/gtest.h>

namespace tesselaudio {
namespace {

DiarizerSegment segment(std::int64_t start, std::int64_t end, float activity = 0.0f,
                        std::int64_t slot = 0) {
  return DiarizerSegment(slot, start, end, true, 0.08f, activity);
}

TEST(DiarizerSegmentTest, TimesFollowFramesInSinglePrecision) {
  const DiarizerSegment s(3, -2, 10, false, 0.08f, 0.7f);
  EXPECT_EQ(s.length(), 12);
  EXPECT_EQ(s.startTime(), 0.08f * -2.0f);
  EXPECT_EQ(s.endTime(), 0.08f * 10.0f);
  EXPECT_EQ(s.duration(), 12.0f * 0.08f);
  EXPECT_EQ(s.speakerLabel(), "Speaker 3");
  EXPECT_FALSE(s.isFinalized);
  EXPECT_FALSE(s.id().isNil());
  EXPECT_NE(s.id(), DiarizerSegment(3, -2, 10, false, 0.08f).id());
}

TEST(DiarizerSegmentTest, TimesBecomeFramesRoundingHalvesAwayFromZero) {
  struct Case {
    const char* name;
    float startTime;
    float endTime;
    std::int64_t startFrame;
    std::int64_t endFrame;
  };
  const Case cases[] = {
      {"exact frames", 0.16f, 0.8f, 2, 10},
      {"halves round up", 0.2f, 0.04f, 3, 1},
      {"negative halves round down", -0.04f, 0.0f, -1, 0},
      {"nearest frame", 0.1f, 0.13f, 1, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto s = DiarizerSegment::fromTimes(1, c.startTime, c.endTime, true, 0.08f, 0.5f);
    EXPECT_EQ(s.startFrame, c.startFrame);
    EXPECT_EQ(s.endFrame, c.endFrame);
    EXPECT_EQ(s.speakerIndex, 1);
    EXPECT_EQ(s.activity, 0.5f);
  }
}

TEST(DiarizerSegmentTest, OverlapIncludesTouchingSegments) {
  struct Case {
    const char* name;
    std::int64_t aStart, aEnd, bStart, bEnd;
    bool overlaps;
  };
  const Case cases[] = {
      {"touching", 10, 20, 20, 30, true},
      {"one frame apart", 10, 20, 21, 30, false},
      {"nested", 10, 30, 15, 20, true},
      {"partly shared", 10, 20, 15, 25, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(segment(c.aStart, c.aEnd).overlaps(segment(c.bStart, c.bEnd)), c.overlaps);
    EXPECT_EQ(segment(c.bStart, c.bEnd).overlaps(segment(c.aStart, c.aEnd)), c.overlaps);
  }
}

TEST(DiarizerSegmentTest, AbsorbWeighsActivityByLength) {
  struct Case {
    const char* name;
    DiarizerSegment into;
    DiarizerSegment other;
    std::int64_t start, end;
    float activity;
  };
  const Case cases[] = {
      {"shorter one inside", segment(0, 30, 0.0f), segment(0, 10, 1.0f), 0, 30, 0.25f},
      {"apart: the span covers the gap", segment(20, 30, 0.5f), segment(0, 10, 0.5f), 0, 30, 0.5f},
      {"both empty", segment(5, 5, 0.9f), segment(7, 7, 0.9f), 5, 7, 0.0f},
  };
  for (auto c : cases) {
    SCOPED_TRACE(c.name);
    const auto id = c.into.id();
    c.into.absorb(c.other);
    EXPECT_EQ(c.into.startFrame, c.start);
    EXPECT_EQ(c.into.endFrame, c.end);
    EXPECT_FLOAT_EQ(c.into.activity, c.activity);
    EXPECT_EQ(c.into.id(), id);
  }
}

TEST(DiarizerSegmentTest, ExtendsOnlyOutwards) {
  auto s = segment(10, 20);
  s.extendEnd(15);
  s.extendStart(12);
  EXPECT_EQ(s, segment(10, 20));
  s.extendEnd(25);
  s.extendStart(-3);
  EXPECT_EQ(s, segment(-3, 25));
}

TEST(DiarizerSegmentTest, EqualityAndOrderLookAtFramesAndSlotOnly) {
  EXPECT_EQ(segment(5, 8, 0.1f), segment(5, 8, 0.9f));
  EXPECT_EQ(segment(5, 8), DiarizerSegment(0, 5, 8, false, 0.04f));
  EXPECT_NE(segment(5, 8, 0.0f, 0), segment(5, 8, 0.0f, 1));

  std::vector<DiarizerSegment> sorted = {segment(5, 9), segment(5, 8, 0.0f, 1), segment(2, 40),
                                         segment(5, 8, 0.0f, 0)};
  std::sort(sorted.begin(), sorted.end());
  const std::vector<DiarizerSegment> expected = {segment(2, 40), segment(5, 8, 0.0f, 0),
                                                 segment(5, 8, 0.0f, 1), segment(5, 9)};
  EXPECT_EQ(sorted, expected);
  EXPECT_EQ(sorted[1].speakerIndex, 0);
}

}  // namespace
}  // namespace tesselaudio
