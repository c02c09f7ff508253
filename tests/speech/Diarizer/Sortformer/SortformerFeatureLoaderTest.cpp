#include "speech/Diarizer/Sortformer/SortformerFeatureLoader.h"

#include <cstddef>
#include <vector>

#include <gtest/gtest.h>

#include "speech/Diarizer/Sortformer/SortformerConfig.h"
#include "tests/support/AudioFixtures.h"

namespace tesselaudio {
namespace {

// Centred framing with FFT 512, window 400 and hop 160 gives (samples + 112) ÷ 160 + 1 frames.
std::vector<float> audioOfMelFrames(std::size_t frames) {
  return testsupport::sine(440, 16000, (frames - 1) * 160 - 112, 0.3f);
}

// One chunk covering everything, without context: the whole feature sequence.
std::vector<float> wholeSequence(const std::vector<float>& audio) {
  const SortformerConfig whole(std::nullopt, ModelNames::Sortformer::ModelPrecision::fp16, 1000,
                               0, 0, 40, 188, 31, 0.2f, 3, 0.25f, 0.05f, 0.75f, 1.5f, 0.5f, false);
  SortformerFeatureLoader loader(whole, audio);
  return loader.next()->chunkFeatures;
}

TEST(SortformerFeatureLoaderTest, EmptyAudioYieldsNothing) {
  SortformerFeatureLoader loader(SortformerConfig::balancedV2_1(), {});
  EXPECT_EQ(loader.numChunks(), 0);
  EXPECT_FALSE(loader.next().has_value());
}

TEST(SortformerFeatureLoaderTest, ChunksCarryTheContextThatExists) {
  const auto audio = audioOfMelFrames(1000);
  const auto features = wholeSequence(audio);
  ASSERT_EQ(features.size(), 1000u * 128u);

  SortformerFeatureLoader loader(SortformerConfig::balancedV2_1(), audio);
  EXPECT_EQ(loader.numChunks(), 21);

  std::vector<SortformerFeatureLoader::Chunk> chunks;
  while (auto chunk = loader.next()) chunks.push_back(std::move(*chunk));
  ASSERT_EQ(chunks.size(), 21u);
  EXPECT_FALSE(loader.next().has_value());

  EXPECT_EQ(chunks.front().leftOffset, 0);
  EXPECT_EQ(chunks.front().rightOffset, 56);
  EXPECT_EQ(chunks.front().chunkLength, 48 + 56);
  EXPECT_EQ(chunks[1].leftOffset, 8);
  EXPECT_EQ(chunks[1].rightOffset, 56);
  EXPECT_EQ(chunks.back().leftOffset, 8);
  EXPECT_EQ(chunks.back().rightOffset, 0);
  EXPECT_EQ(chunks.back().chunkLength, 8 + 40);
  EXPECT_EQ(chunks[19].rightOffset, 40);  // only the last chunk's 40 frames remain behind it

  // Each chunk is the exact slice around its core: cores tile the sequence without gaps.
  std::int64_t coreStart = 0;
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    SCOPED_TRACE(i);
    const auto& chunk = chunks[i];
    const std::int64_t first = coreStart - chunk.leftOffset;
    ASSERT_EQ(static_cast<std::int64_t>(chunk.chunkFeatures.size()), chunk.chunkLength * 128);
    EXPECT_TRUE(std::equal(chunk.chunkFeatures.begin(), chunk.chunkFeatures.end(),
                           features.begin() + first * 128));
    coreStart += chunk.chunkLength - chunk.leftOffset - chunk.rightOffset;
  }
  EXPECT_EQ(coreStart, 1000);
}

}  // namespace
}  // namespace tesselaudio
