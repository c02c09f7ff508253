#include "speech/Diarizer/Core/TimedSpeakerSegment.h"

#include <gtest/gtest.h>

namespace tesselaudio {
namespace {

TEST(TimedSpeakerSegmentTest, EverySegmentDrawsItsOwnId) {
  const TimedSpeakerSegment a("1", {0.6f, 0.8f}, 2.5f, 4.0f, 0.9f);
  const TimedSpeakerSegment b("1", {0.6f, 0.8f}, 2.5f, 4.0f, 0.9f);
  EXPECT_NE(a.id, b.id);
  EXPECT_FALSE(a.id.isNil());
  EXPECT_NE(a, b);
  EXPECT_EQ(a.speakerId, "1");
  EXPECT_EQ(a.embedding, (std::vector<float>{0.6f, 0.8f}));
  EXPECT_FLOAT_EQ(a.qualityScore, 0.9f);
}

TEST(TimedSpeakerSegmentTest, DurationIsEndMinusStart) {
  const TimedSpeakerSegment segment("2", {}, 2.5f, 4.0f, 1.0f);
  EXPECT_FLOAT_EQ(segment.durationSeconds(), 1.5f);
}

}  // namespace
}  // namespace tesselaudio
