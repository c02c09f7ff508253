#include "speech/Diarizer/DiarizerChunkResult.h"

#include <gtest/gtest.h>

namespace tesselaudio {
namespace {

TEST(DiarizerChunkResultTest, ReadsFrameMajorValuesAndZeroOutsideTheChunk) {
  // Two slots: two finalized frames, one tentative frame.
  const DiarizerChunkResult chunk(40, {0.1f, 0.2f, 0.3f, 0.4f}, 2, {0.5f, 0.6f}, 1);
  EXPECT_EQ(chunk.startFrame, 40);
  EXPECT_EQ(chunk.tentativeStartFrame(), 42);

  struct Case {
    const char* name;
    bool tentative;
    std::int64_t speaker;
    std::int64_t frame;
    float value;
  };
  const Case cases[] = {
      {"first frame, slot 0", false, 0, 0, 0.1f},
      {"first frame, slot 1", false, 1, 0, 0.2f},
      {"second frame, slot 0", false, 0, 1, 0.3f},
      {"frame at the finalized count", false, 0, 2, 0.0f},
      {"slot at the speaker count", false, 2, 0, 0.0f},
      {"tentative frame, slot 1", true, 1, 0, 0.6f},
      {"frame at the tentative count", true, 0, 1, 0.0f},
      {"tentative slot at the speaker count", true, 2, 0, 0.0f},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const float value = c.tentative ? chunk.tentativeProbability(c.speaker, c.frame, 2)
                                    : chunk.probability(c.speaker, c.frame, 2);
    EXPECT_FLOAT_EQ(value, c.value);
  }
}

}  // namespace
}  // namespace tesselaudio
