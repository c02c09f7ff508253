#include "speech/ASR/Parakeet/ASRConfig.h"

#include <cmath>

#include <gtest/gtest.h>

#include "speech/ASR/Parakeet/SlidingWindow/TDT/TdtConfig.h"

namespace tesselaudio {
namespace {

ASRConfig withConcurrencyAndGap(int64_t parallelChunkConcurrency, double seamGapRepairMinGapSeconds) {
  const ASRConfig& d = ASRConfig::default_();
  return ASRConfig(d.sampleRate, d.tdtConfig, d.encoderHiddenSize, parallelChunkConcurrency, d.streamingEnabled,
                   d.streamingThreshold, d.melChunkContextOverride, d.dualDecodeArbitration, d.seamGapRepair,
                   seamGapRepairMinGapSeconds, d.seamTimingRealignment);
}

TEST(ASRConfigTest, DecoderPresetFieldByField) {
  const TdtConfig& c = TdtConfig::default_();
  EXPECT_TRUE(c.includeTokenDuration);
  EXPECT_EQ(c.maxSymbolsPerStep, 10);
  EXPECT_EQ(c.durationBins, (std::vector<int64_t>{0, 1, 2, 3, 4}));
  EXPECT_EQ(c.blankId, 8192);
  EXPECT_EQ(c.boundarySearchFrames, 20);
  EXPECT_EQ(c.maxTokensPerChunk, 150);
  EXPECT_EQ(c.consecutiveBlankLimit, 5);
  EXPECT_EQ(&TdtConfig::default_(), &c);
}

TEST(ASRConfigTest, RecogniserPresetFieldByField) {
  const ASRConfig& c = ASRConfig::default_();
  EXPECT_EQ(c.sampleRate, 16000);
  EXPECT_EQ(c.tdtConfig, TdtConfig::default_());
  EXPECT_EQ(c.encoderHiddenSize, 1024);
  EXPECT_EQ(c.parallelChunkConcurrency, 4);
  EXPECT_TRUE(c.streamingEnabled);
  EXPECT_EQ(c.streamingThreshold, 480000);
  EXPECT_EQ(c.melChunkContextOverride, std::nullopt);
  EXPECT_FALSE(c.dualDecodeArbitration);
  EXPECT_TRUE(c.seamGapRepair);
  EXPECT_EQ(c.seamGapRepairMinGapSeconds, 0.5);
  EXPECT_TRUE(c.seamTimingRealignment);
  EXPECT_EQ(ASRConfig(), c);
}

TEST(ASRConfigTest, ConstructorKeepsConcurrencyAndGapInRange) {
  struct Case {
    const char* name;
    int64_t concurrency;
    double gap;
    int64_t storedConcurrency;
    double storedGap;
  };
  const Case cases[] = {
      {"zero workers, short gap", 0, 0.2, 1, 0.5},
      {"negative workers, negative gap", -3, -1.0, 1, 0.5},
      {"values in range", 8, 0.75, 8, 0.75},
      {"gap not a number", 2, std::nan(""), 2, 0.5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ASRConfig config = withConcurrencyAndGap(c.concurrency, c.gap);
    EXPECT_EQ(config.parallelChunkConcurrency, c.storedConcurrency);
    EXPECT_EQ(config.seamGapRepairMinGapSeconds, c.storedGap);
  }
}

TEST(ASRConfigTest, MelChunkContextFollowsTheOverride) {
  ASRConfig config;
  EXPECT_TRUE(config.melChunkContext());
  config.melChunkContextOverride = false;
  EXPECT_FALSE(config.melChunkContext());
  config.melChunkContextOverride = true;
  EXPECT_TRUE(config.melChunkContext());
}

}  // namespace
}  // namespace tesselaudio
