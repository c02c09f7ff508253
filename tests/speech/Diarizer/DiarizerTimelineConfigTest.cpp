#include "speech/Diarizer/DiarizerTimelineConfig.h"

#include <gtest/gtest.h>

namespace tesselaudio {
namespace {

void expectDefaultSettings(const DiarizerTimelineConfig& c) {
  EXPECT_EQ(c.onsetThreshold, 0.5f);
  EXPECT_EQ(c.offsetThreshold, 0.5f);
  EXPECT_EQ(c.onsetPadFrames, 0);
  EXPECT_EQ(c.offsetPadFrames, 0);
  EXPECT_EQ(c.minFramesOn, 0);
  EXPECT_EQ(c.minFramesOff, 0);
  EXPECT_EQ(c.maxStoredFrames, std::nullopt);
  EXPECT_EQ(c.activityType, DiarizerActivityType::sigmoids);
  EXPECT_TRUE(c.storeSegments);
}

TEST(DiarizerTimelineConfigTest, Presets) {
  const auto two = DiarizerTimelineConfig::default_(2, 0.04f);
  EXPECT_EQ(two.numSpeakers, 2);
  EXPECT_EQ(two.frameDurationSeconds, 0.04f);
  expectDefaultSettings(two);

  const auto sortformer = DiarizerTimelineConfig::sortformerDefault();
  EXPECT_EQ(sortformer.numSpeakers, 4);
  EXPECT_EQ(sortformer.frameDurationSeconds, 0.08f);
  expectDefaultSettings(sortformer);
}

TEST(DiarizerTimelineConfigTest, FrameFormKeepsValuesAsGivenAndFillsSlotAndFrame) {
  const DiarizerTimelineConfig c{.onsetThreshold = -0.25f,
                                 .offsetThreshold = 1.5f,
                                 .onsetPadFrames = -2,
                                 .offsetPadFrames = 7,
                                 .minFramesOn = -1,
                                 .minFramesOff = 9,
                                 .maxStoredFrames = -4,
                                 .activityType = DiarizerActivityType::logits,
                                 .storeSegments = false};
  EXPECT_EQ(c.numSpeakers, 1);
  EXPECT_EQ(c.frameDurationSeconds, 0.08f);
  EXPECT_EQ(c.onsetThreshold, -0.25f);
  EXPECT_EQ(c.offsetThreshold, 1.5f);
  EXPECT_EQ(c.onsetPadFrames, -2);
  EXPECT_EQ(c.offsetPadFrames, 7);
  EXPECT_EQ(c.minFramesOn, -1);
  EXPECT_EQ(c.minFramesOff, 9);
  EXPECT_EQ(c.maxStoredFrames, -4);
  EXPECT_EQ(c.activityType, DiarizerActivityType::logits);
  EXPECT_FALSE(c.storeSegments);
}

TEST(DiarizerTimelineConfigTest, SecondsFormConvertsWithTheEffectiveFrameDuration) {
  const auto c = DiarizerTimelineConfig::fromSeconds(std::nullopt, std::nullopt, 0.6f, 0.4f, 0.2f,
                                                     0.04f, 0.16f, -0.04f,
                                                     DiarizerActivityType::logits, 5, false);
  EXPECT_EQ(c.numSpeakers, 1);
  EXPECT_EQ(c.frameDurationSeconds, 0.08f);
  EXPECT_EQ(c.onsetThreshold, 0.6f);
  EXPECT_EQ(c.offsetThreshold, 0.4f);
  EXPECT_EQ(c.onsetPadFrames, 3);
  EXPECT_EQ(c.offsetPadFrames, 1);
  EXPECT_EQ(c.minFramesOn, 2);
  EXPECT_EQ(c.minFramesOff, -1);
  EXPECT_EQ(c.maxStoredFrames, 5);
  EXPECT_EQ(c.activityType, DiarizerActivityType::logits);
  EXPECT_FALSE(c.storeSegments);

  const auto fine = DiarizerTimelineConfig::fromSeconds(2, 0.04f, 0.5f, 0.5f, 0.2f, 0.0f, 0.0f,
                                                        0.0f, DiarizerActivityType::sigmoids,
                                                        std::nullopt, true);
  EXPECT_EQ(fine.numSpeakers, 2);
  EXPECT_EQ(fine.onsetPadFrames, 5);
}

TEST(DiarizerTimelineConfigTest, SecondsViewsReadAndWriteTheirOwnFrameCount) {
  struct View {
    const char* name;
    std::int64_t DiarizerTimelineConfig::*frames;
    float (DiarizerTimelineConfig::*read)() const;
    void (DiarizerTimelineConfig::*write)(float);
  };
  const View views[] = {
      {"onset pad", &DiarizerTimelineConfig::onsetPadFrames,
       &DiarizerTimelineConfig::onsetPadSeconds, &DiarizerTimelineConfig::setOnsetPadSeconds},
      {"offset pad", &DiarizerTimelineConfig::offsetPadFrames,
       &DiarizerTimelineConfig::offsetPadSeconds, &DiarizerTimelineConfig::setOffsetPadSeconds},
      {"minimum on", &DiarizerTimelineConfig::minFramesOn, &DiarizerTimelineConfig::minDurationOn,
       &DiarizerTimelineConfig::setMinDurationOn},
      {"minimum off", &DiarizerTimelineConfig::minFramesOff,
       &DiarizerTimelineConfig::minDurationOff, &DiarizerTimelineConfig::setMinDurationOff},
  };
  struct Write {
    float seconds;
    std::int64_t frames;
  };
  // 0.2 ÷ 0.08 is exactly 2.5 in single precision, 0.04 ÷ 0.08 exactly 0.5.
  const Write writes[] = {{0.2f, 3}, {0.04f, 1}, {0.1f, 1}, {0.13f, 2}, {-0.04f, -1}, {0.0f, 0}};
  for (const auto& view : views) {
    SCOPED_TRACE(view.name);
    for (const auto& w : writes) {
      SCOPED_TRACE(w.seconds);
      DiarizerTimelineConfig c;
      (c.*view.write)(w.seconds);
      EXPECT_EQ(c.*view.frames, w.frames);
      EXPECT_EQ(c, [&] {
        DiarizerTimelineConfig expected;
        expected.*view.frames = w.frames;
        return expected;
      }());
    }
    DiarizerTimelineConfig c;
    c.*view.frames = 3;
    EXPECT_EQ((c.*view.read)(), 0.24f);
  }
}

}  // namespace
}  // namespace tesselaudio
