#include "speech/Diarizer/Core/DiarizerConfig.h"

#include <gtest/gtest.h>

namespace tesselaudio {
namespace {

TEST(DiarizerConfigTest, DefaultPresetEqualsAConfigBuiltWithoutArguments) {
  const DiarizerConfig preset = DiarizerConfig::default_();
  EXPECT_FLOAT_EQ(preset.clusteringThreshold, 0.7f);
  EXPECT_FLOAT_EQ(preset.minSpeechDuration, 1.0f);
  EXPECT_FLOAT_EQ(preset.minEmbeddingUpdateDuration, 2.0f);
  EXPECT_FLOAT_EQ(preset.minSilenceGap, 0.5f);
  EXPECT_EQ(preset.numClusters, -1);
  EXPECT_FLOAT_EQ(preset.minActiveFramesCount, 10.0f);
  EXPECT_FALSE(preset.debugMode);
  EXPECT_FLOAT_EQ(preset.chunkDuration, 10.0f);
  EXPECT_FLOAT_EQ(preset.chunkOverlap, 0.0f);
  EXPECT_FALSE(preset.exposeChunkEmbeddings);
  EXPECT_EQ(DiarizerConfig(), preset);
}

}  // namespace
}  // namespace tesselaudio
