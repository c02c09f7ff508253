#include "speech/Diarizer/Extraction/EmbeddingExtractor.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ml/MLModel.h"
#include "platform/ml/MLModelError.h"
#include "speech/Diarizer/Core/DiarizerError.h"
#include "tests/support/DiarizerModelBuilder.h"
#include "tests/support/SystemLogCapture.h"
#include "tests/support/TemporaryFolder.h"

namespace tesselaudio {
namespace {

using Embedding = std::vector<float>;
using Masks = std::vector<std::vector<float>>;

// Distinct, exactly representable values: sample i reads 1 + i / 1024.
std::vector<float> rampAudio(std::size_t samples) {
  std::vector<float> audio(samples);
  for (std::size_t i = 0; i < samples; ++i) audio[i] = 1.0f + static_cast<float>(i) / 1024.0f;
  return audio;
}

// Weight f reads 100 + f, so every frame is told apart and the sum is far above any threshold.
std::vector<float> rampMask(std::size_t frames) {
  std::vector<float> mask(frames);
  for (std::size_t f = 0; f < frames; ++f) mask[f] = 100.0f + static_cast<float>(f);
  return mask;
}

class EmbeddingExtractorTest : public ::testing::Test {
 protected:
  std::unique_ptr<EmbeddingExtractor> extractor(const testsupport::ModelBuilder& builder) {
    const auto folder = folder_ / std::to_string(models_++);
    auto model = std::make_shared<const platform::MLModel>(builder.writeBundle(folder));
    return std::make_unique<EmbeddingExtractor>(std::move(model));
  }

  testsupport::TemporaryFolder folder_;
  int models_ = 0;
};

TEST_F(EmbeddingExtractorTest, AnnouncesItselfWhenMade) {
  testsupport::SystemLogCapture log;
  extractor(testsupport::failingEmbeddingModel());
  const auto records = log.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].level, platform::SystemLog::Level::info);
  EXPECT_EQ(records[0].category, "EmbeddingExtractor");
  EXPECT_EQ(records[0].message, "EmbeddingExtractor ready with ANE memory optimizer");
}

TEST_F(EmbeddingExtractorTest, MasksBelowTheThresholdNeverReachTheModel) {
  // The failing model shows that a call which succeeds ran no prediction.
  auto failing = extractor(testsupport::failingEmbeddingModel());
  const auto audio = rampAudio(160000);
  EXPECT_TRUE(failing->getEmbeddings(audio, {}, 10.0f).empty());

  std::vector<float> almost(600, 0.0f);
  almost[17] = 9.9f;
  const auto embeddings = failing->getEmbeddings(audio, {almost, std::vector<float>(600, 0.0f)}, 10.0f);
  ASSERT_EQ(embeddings.size(), 2u);
  EXPECT_EQ(embeddings[0], Embedding(256, 0.0f));
  EXPECT_EQ(embeddings[1], Embedding(256, 0.0f));

  std::vector<float> exactly(600, 0.0f);
  exactly[17] = 10.0f;
  EXPECT_THROW(failing->getEmbeddings(audio, {almost, exactly}, 10.0f), platform::MLModelError);
}

TEST_F(EmbeddingExtractorTest, ShortAudioAndItsMaskAreRepeatedToFillTheWindow) {
  // 40,000 samples (2.5 s) with 600-frame masks: four copies of the audio, V = 150 mask frames.
  const std::vector<std::int64_t> wavePositions{0, 39999, 40000, 79999, 120000, 159999};
  const std::vector<std::int64_t> maskPositions{0, 149, 150, 299, 450, 599};
  auto probe = extractor(testsupport::probeEmbeddingModel(wavePositions, maskPositions));
  const auto audio = rampAudio(40000);
  const auto mask = rampMask(600);

  const auto embeddings = probe->getEmbeddings(audio, {mask}, 10.0f);

  ASSERT_EQ(embeddings.size(), 1u);
  const Embedding& e = embeddings[0];
  ASSERT_EQ(e.size(), 256u);
  const Embedding expectedWave{audio[0], audio[39999], audio[0], audio[39999], audio[0], audio[39999]};
  const Embedding expectedMask{mask[0], mask[149], mask[0], mask[149], mask[0], mask[149]};
  EXPECT_EQ(Embedding(e.begin(), e.begin() + 6), expectedWave);
  EXPECT_EQ(Embedding(e.begin() + 6, e.begin() + 12), expectedMask);
  EXPECT_EQ(Embedding(e.begin() + 12, e.end()), Embedding(244, 0.0f));
}

TEST_F(EmbeddingExtractorTest, CoveredMaskFramesFollowTheAudioLength) {
  struct Case {
    const char* name;
    std::size_t samples;
    std::size_t maskFrames;
    std::size_t covered;  // mask frames that real audio covers
  };
  const Case cases[] = {
      {"a quarter of the window", 40000, 600, 150},
      {"rounds halves upwards", 80000, 589, 295},
      {"rounds down below a half", 1000, 589, 4},
      {"a full window", 160000, 589, 589},
      {"more than a window is not repeated", 200000, 589, 589},
      {"no audio leaves the mask empty", 0, 589, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto last = static_cast<std::int64_t>(c.maskFrames - 1);
    const std::int64_t coveredEnd = static_cast<std::int64_t>(c.covered);
    auto probe = extractor(testsupport::probeEmbeddingModel(
        {0, 159999}, {0, std::max<std::int64_t>(coveredEnd - 1, 0), std::min(coveredEnd, last), last}));
    const auto audio = rampAudio(c.samples);
    const auto mask = rampMask(c.maskFrames);

    const Embedding e = probe->getEmbeddings(audio, {mask}, 10.0f).at(0);

    const float wave0 = c.samples ? audio[0] : 0.0f;
    const float waveEnd = c.samples ? audio[159999 % c.samples] : 0.0f;
    EXPECT_EQ(e[0], wave0);
    EXPECT_EQ(e[1], waveEnd);
    if (c.covered == 0) {
      EXPECT_EQ(Embedding(e.begin() + 2, e.begin() + 6), Embedding(4, 0.0f));
    } else {
      EXPECT_EQ(e[2], mask[0]);
      EXPECT_EQ(e[3], mask[c.covered - 1]);
      // Just past the covered frames the mask starts over, unless nothing is past them.
      EXPECT_EQ(e[4], c.covered < c.maskFrames ? mask[0] : mask[c.covered - 1]);
      EXPECT_EQ(e[5], mask[static_cast<std::size_t>(last) % c.covered]);
    }
  }
}

TEST_F(EmbeddingExtractorTest, WaveformRowsBeyondTheFirst) {
  // Position 160,000 is the first sample of row 1, 320,000 that of row 2.
  auto probe = extractor(testsupport::probeEmbeddingModel({0, 159999, 160000, 199999, 200000, 320000}, {}));
  const std::vector<float> mask(589, 1.0f);
  const auto shortAudio = rampAudio(40000);
  const Embedding shortRead = probe->getEmbeddings(shortAudio, {mask}, 10.0f).at(0);
  // Short audio is repeated through row 0 only; rows 1 and 2 stay silent.
  EXPECT_EQ(Embedding(shortRead.begin(), shortRead.begin() + 6),
            (Embedding{shortAudio[0], shortAudio[39999], 0, 0, 0, 0}));

  // Long audio runs on into rows 1 and 2, unrepeated.
  const auto longAudio = rampAudio(200000);
  const Embedding longRead = probe->getEmbeddings(longAudio, {mask}, 10.0f).at(0);
  EXPECT_EQ(Embedding(longRead.begin(), longRead.begin() + 6),
            (Embedding{longAudio[0], longAudio[159999], longAudio[160000], longAudio[199999], 0, 0}));

  // Beyond three rows the audio is cut.
  const auto veryLong = rampAudio(500000);
  const Embedding cut = probe->getEmbeddings(veryLong, {mask}, 10.0f).at(0);
  EXPECT_EQ(cut[5], veryLong[320000]);
}

TEST_F(EmbeddingExtractorTest, EachMaskIsFedOnItsOwn) {
  auto probe = extractor(testsupport::probeEmbeddingModel({5}, {0, 1, 2, 3}));
  const auto audio = rampAudio(160000);
  const std::vector<float> first{20, 0, 0, 0};
  const std::vector<float> silent{0, 0, 0, 0};
  const std::vector<float> third{0, 0, 0, 30};

  const auto embeddings = probe->getEmbeddings(audio, {first, silent, third}, 10.0f);

  ASSERT_EQ(embeddings.size(), 3u);
  EXPECT_EQ(Embedding(embeddings[0].begin(), embeddings[0].begin() + 5),
            (Embedding{audio[5], 20, 0, 0, 0}));
  EXPECT_EQ(embeddings[1], Embedding(256, 0.0f));
  // Nothing of the first mask is left behind in the model input.
  EXPECT_EQ(Embedding(embeddings[2].begin(), embeddings[2].begin() + 5),
            (Embedding{audio[5], 0, 0, 0, 30}));
}

TEST_F(EmbeddingExtractorTest, OutputsWithoutAFullEmbedding) {
  const auto audio = rampAudio(160000);
  const std::vector<float> active(589, 1.0f);
  const std::vector<float> quiet(589, 0.0f);

  auto unnamed = extractor(testsupport::probeEmbeddingModel({0}, {0}, 256, "speaker_vector"));
  const auto zeros = unnamed->getEmbeddings(audio, {active, quiet, active}, 10.0f);
  EXPECT_EQ(zeros, Masks(3, Embedding(256, 0.0f)));

  // A short output fills what it has; the rest stays zero, and nothing past it is read.
  auto shortOutput = extractor(testsupport::probeEmbeddingModel({0, 1}, {2}, 10));
  const Embedding e = shortOutput->getEmbeddings(audio, {active}, 10.0f).at(0);
  ASSERT_EQ(e.size(), 256u);
  EXPECT_EQ(Embedding(e.begin(), e.begin() + 3), (Embedding{audio[0], audio[1], 1.0f}));
  EXPECT_EQ(Embedding(e.begin() + 3, e.end()), Embedding(253, 0.0f));
}

TEST_F(EmbeddingExtractorTest, RefusesMasksOfUnequalLengthBeforeAnyWork) {
  auto failing = extractor(testsupport::failingEmbeddingModel());
  const std::vector<float> passing(600, 1.0f);
  try {
    failing->getEmbeddings(rampAudio(160000), {passing, std::vector<float>(599, 1.0f)}, 10.0f);
    FAIL() << "expected processingFailed";
  } catch (const DiarizerError& error) {
    EXPECT_EQ(error.errorCode(), DiarizerError::Code::processingFailed);
  }
}

}  // namespace
}  // namespace tesselaudio
