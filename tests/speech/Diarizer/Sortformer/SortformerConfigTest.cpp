#include "speech/Diarizer/Sortformer/SortformerConfig.h"

#include <gtest/gtest.h>

namespace tesselaudio {
namespace {

using ModelNames::Sortformer::ModelPrecision;
using ModelNames::Sortformer::Variant;

TEST(SortformerConfigTest, DefaultsHoldFieldByField) {
  SortformerConfig config;
  EXPECT_EQ(config.modelVariant, std::nullopt);
  EXPECT_EQ(config.precision, ModelPrecision::fp16);
  EXPECT_EQ(config.numSpeakers, 4);
  EXPECT_EQ(config.preEncoderDims, 512);
  EXPECT_EQ(config.subsamplingFactor, 8);
  EXPECT_EQ(config.chunkLen, 6);
  EXPECT_EQ(config.chunkLeftContext, 1);
  EXPECT_EQ(config.chunkRightContext, 7);
  EXPECT_EQ(config.fifoLen, 40);
  EXPECT_EQ(config.spkcacheLen, 188);
  EXPECT_EQ(config.spkcacheUpdatePeriod, 31);
  EXPECT_EQ(config.spkcacheSilFramesPerSpk, 3);
  EXPECT_FALSE(config.debugMode);
  EXPECT_EQ(config.sampleRate, 16000);
  EXPECT_EQ(config.melWindow, 400);
  EXPECT_EQ(config.melStride, 160);
  EXPECT_EQ(config.melFeatures, 128);
  EXPECT_FLOAT_EQ(config.silenceThreshold, 0.2f);
  EXPECT_FLOAT_EQ(config.predScoreThreshold, 0.25f);
  EXPECT_FLOAT_EQ(config.scoresBoostLatest, 0.05f);
  EXPECT_FLOAT_EQ(config.strongBoostRate, 0.75f);
  EXPECT_FLOAT_EQ(config.weakBoostRate, 1.5f);
  EXPECT_FLOAT_EQ(config.minPosScoresRate, 0.5f);
  EXPECT_EQ(config.maxIndex, 99999);
}

TEST(SortformerConfigTest, PresetsDifferOnlyInVariantGeometryAndUpdatePeriod) {
  struct Case {
    const char* name;
    const SortformerConfig& preset;
    Variant variant;
    std::int64_t chunkLen;
    std::int64_t chunkRightContext;
    std::int64_t fifoLen;
    std::int64_t spkcacheUpdatePeriod;
  };
  const Case cases[] = {
      {"default", SortformerConfig::default_(), Variant::fastV2_1, 6, 7, 40, 31},
      {"fastV2", SortformerConfig::fastV2(), Variant::fastV2, 6, 7, 40, 31},
      {"fastV2_1", SortformerConfig::fastV2_1(), Variant::fastV2_1, 6, 7, 40, 31},
      {"balancedV2", SortformerConfig::balancedV2(), Variant::balancedV2, 6, 7, 188, 144},
      {"balancedV2_1", SortformerConfig::balancedV2_1(), Variant::balancedV2_1, 6, 7, 188, 144},
      {"highContextV2", SortformerConfig::highContextV2(), Variant::highContextV2, 340, 40, 40, 340},
      {"highContextV2_1", SortformerConfig::highContextV2_1(), Variant::highContextV2_1, 340, 40, 40,
       340},
      {"efficientV2_1", SortformerConfig::efficientV2_1(), Variant::efficientV2_1, 25, 7, 40, 31},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SortformerConfig expected;
    expected.modelVariant = c.variant;
    expected.chunkLen = c.chunkLen;
    expected.chunkRightContext = c.chunkRightContext;
    expected.fifoLen = c.fifoLen;
    expected.spkcacheUpdatePeriod = c.spkcacheUpdatePeriod;
    EXPECT_EQ(c.preset, expected);
  }
  EXPECT_EQ(SortformerConfig::default_(), SortformerConfig::fastV2_1());
  EXPECT_EQ(&SortformerConfig::balancedV2_1(), &SortformerConfig::balancedV2_1());
}

TEST(SortformerConfigTest, DerivedValues) {
  const auto& balanced = SortformerConfig::balancedV2_1();
  EXPECT_FLOAT_EQ(balanced.frameDurationSeconds(), 0.08f);
  EXPECT_EQ(balanced.chunkMelFrames(), 112);
  EXPECT_EQ(balanced.coreFrames(), 48);
  EXPECT_EQ(SortformerConfig::highContextV2().chunkMelFrames(), 3048);
}

TEST(SortformerConfigTest, CompatibilityIgnoresHowTheSpanIsSplit) {
  SortformerConfig a;
  SortformerConfig b;
  b.chunkLen = 7;
  b.chunkLeftContext = 0;
  b.chunkRightContext = 7;
  EXPECT_TRUE(a.isCompatible(b));
  EXPECT_FALSE(SortformerConfig::fastV2_1().isCompatible(SortformerConfig::balancedV2_1()));
}

TEST(SortformerConfigTest, InitialiserClampsInOrder) {
  struct Case {
    const char* name;
    std::int64_t chunkLen, fifoLen, spkcacheLen, spkcacheUpdatePeriod, silFramesPerSpk;
    std::int64_t wantChunkLen, wantSpkcacheLen, wantUpdatePeriod;
  };
  const Case cases[] = {
      {"chunkLenZeroBecomesOne", 0, 40, 188, 31, 3, 1, 188, 31},
      {"cacheHoldsOneFramePerSpeakerBesideSilence", 6, 40, 10, 31, 3, 6, 16, 31},
      {"periodCappedAtFifoPlusChunk", 6, 40, 188, 500, 3, 6, 188, 46},
      {"periodAtLeastChunk", 6, 40, 188, 2, 3, 6, 188, 6},
      {"periodFloorUsesClampedChunk", 0, 0, 188, 0, 3, 1, 188, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const SortformerConfig config(Variant::balancedV2_1, ModelPrecision::palettized, c.chunkLen, 2,
                                  5, c.fifoLen, c.spkcacheLen, c.spkcacheUpdatePeriod, 0.3f,
                                  c.silFramesPerSpk, 0.4f, 0.06f, 0.7f, 1.4f, 0.6f, true);
    EXPECT_EQ(config.chunkLen, c.wantChunkLen);
    EXPECT_EQ(config.spkcacheLen, c.wantSpkcacheLen);
    EXPECT_EQ(config.spkcacheUpdatePeriod, c.wantUpdatePeriod);
    // Everything else is stored as given, and the fixed fields keep their values.
    EXPECT_EQ(config.modelVariant, Variant::balancedV2_1);
    EXPECT_EQ(config.precision, ModelPrecision::palettized);
    EXPECT_EQ(config.chunkLeftContext, 2);
    EXPECT_EQ(config.chunkRightContext, 5);
    EXPECT_EQ(config.fifoLen, c.fifoLen);
    EXPECT_EQ(config.spkcacheSilFramesPerSpk, c.silFramesPerSpk);
    EXPECT_FLOAT_EQ(config.silenceThreshold, 0.3f);
    EXPECT_FLOAT_EQ(config.predScoreThreshold, 0.4f);
    EXPECT_FLOAT_EQ(config.scoresBoostLatest, 0.06f);
    EXPECT_FLOAT_EQ(config.strongBoostRate, 0.7f);
    EXPECT_FLOAT_EQ(config.weakBoostRate, 1.4f);
    EXPECT_FLOAT_EQ(config.minPosScoresRate, 0.6f);
    EXPECT_TRUE(config.debugMode);
    EXPECT_EQ(config.numSpeakers, 4);
    EXPECT_EQ(config.preEncoderDims, 512);
    EXPECT_EQ(config.subsamplingFactor, 8);
    EXPECT_EQ(config.sampleRate, 16000);
    EXPECT_EQ(config.melFeatures, 128);
    EXPECT_EQ(config.maxIndex, 99999);
  }
}

}  // namespace
}  // namespace tesselaudio
