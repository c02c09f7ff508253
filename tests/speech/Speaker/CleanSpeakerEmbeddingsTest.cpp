#include <cmath>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "speech/Diarizer/Core/DiarizationResult.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Speaker/SpeakerUtilities.h"
#include "tests/support/SystemLogCapture.h"

namespace tesselaudio {
namespace {

using SpeakerUtilities::Interval;
using Intervals = std::vector<Interval>;
using Embedding = std::vector<float>;

TEST(SpeakerIntervalsTest, UnionDifferenceAndSharedTime) {
  EXPECT_EQ(SpeakerUtilities::merged({{5, 6}, {1, 3}, {3, 4}, {2, 2}}), (Intervals{{1, 4}, {5, 6}}));
  EXPECT_EQ(SpeakerUtilities::merged({{0, 5}, {1, 2}, {std::nan(""), 9}}), (Intervals{{0, 5}}));
  EXPECT_EQ(SpeakerUtilities::subtract({{0, 10}}, {{2, 3}, {5, 12}}), (Intervals{{0, 2}, {3, 5}}));
  EXPECT_EQ(SpeakerUtilities::subtract({{0, 4}, {6, 8}}, {}), (Intervals{{0, 4}, {6, 8}}));
  EXPECT_EQ(SpeakerUtilities::sharedWeights({{{0, 10}}, {{5, 15}}}), (std::vector<float>{7.5f, 7.5f}));
  // Touching intervals share nothing; an empty list weighs 0.
  EXPECT_EQ(SpeakerUtilities::sharedWeights({{{0, 2}}, {{2, 3}}, {}, {{1, 1}}}),
            (std::vector<float>{2.0f, 1.0f, 0.0f, 0.0f}));
  EXPECT_EQ(SpeakerUtilities::sharedWeights({{{0, 3}}, {{0, 3}}, {{0, 3}}}), (std::vector<float>(3, 1.0f)));

  // A speaks 0–10 s and B 8–12 s: A alone 0–8 s, B alone 10–12 s.
  const Intervals a{{0, 10}}, b{{8, 12}};
  EXPECT_EQ(SpeakerUtilities::subtract(SpeakerUtilities::merged(a), SpeakerUtilities::merged(b)), (Intervals{{0, 8}}));
  EXPECT_EQ(SpeakerUtilities::subtract(SpeakerUtilities::merged(b), SpeakerUtilities::merged(a)), (Intervals{{10, 12}}));
}

// Results built in the test: segments and chunk embeddings, and thresholds that a test changes.
class CleanSpeakerEmbeddingsTest : public testing::Test {
 protected:
  CleanSpeakerEmbeddingsTest() { AppLogger::setMirrorsToConsole(false); }
  ~CleanSpeakerEmbeddingsTest() override { AppLogger::setMirrorsToConsole(true); }

  // An embedding of 256 values along `axis`, tilted by `tilt` toward axis + 1, scaled by `scale`.
  static Embedding voice(std::size_t axis, float tilt = 0, float scale = 3) {
    Embedding e(256, 0.0f);
    e[axis] = scale;
    e[axis + 1] = scale * tilt;
    return e;
  }

  void segment(const std::string& speaker, float start, float end) {
    result_.segments.emplace_back(speaker, Embedding{}, start, end, 1.0f);
  }
  void chunk(const std::string& speaker, double start, double end, Embedding embedding) {
    if (!result_.chunkEmbeddings) result_.chunkEmbeddings.emplace();
    result_.chunkEmbeddings->push_back({speaker, static_cast<std::int64_t>(result_.chunkEmbeddings->size()), 0, start,
                                        end, std::move(embedding), {}});
  }

  std::map<std::string, Embedding> clean() const {
    return SpeakerUtilities::cleanEmbeddingsBySpeaker(result_, minChunkCleanSpeech_, minTotalCleanSpeech_,
                                                      maxDistanceToMedoid_, minConsensus_, minChunks_);
  }

  std::vector<std::string> warnings() const {
    std::vector<std::string> out;
    for (const auto& record : log_.records()) {
      if (record.category == "SpeakerUtilities" && record.level >= platform::SystemLog::Level::warning) {
        out.push_back(record.message);
      }
    }
    return out;
  }

  static void expectNear(const Embedding& actual, const Embedding& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i) EXPECT_NEAR(actual[i], expected[i], 1e-6) << "value " << i;
  }

  static Embedding normalised(Embedding e) {
    double sum = 0;
    for (float v : e) sum += static_cast<double>(v) * v;
    for (float& v : e) v = static_cast<float>(v / std::sqrt(sum));
    return e;
  }

  DiarizationResult result_;
  double minChunkCleanSpeech_ = 1.0;
  double minTotalCleanSpeech_ = 1.0;
  float maxDistanceToMedoid_ = 0.3f;
  double minConsensus_ = 0.5;
  std::int64_t minChunks_ = 1;
  testsupport::SystemLogCapture log_;
};

TEST_F(CleanSpeakerEmbeddingsTest, WithoutChunkEmbeddingsNothingAndAWarning) {
  segment("1", 0, 10);
  EXPECT_TRUE(clean().empty());
  EXPECT_EQ(warnings(), (std::vector<std::string>{
                            "cleanEmbeddingsBySpeaker needs chunk embeddings; set exposeChunkEmbeddings = true"}));
}

TEST_F(CleanSpeakerEmbeddingsTest, SingleChunkGivesItsNormalisedEmbedding) {
  segment("1", 0, 10);
  chunk("1", 0, 10, voice(0, 0.5f));
  const auto embeddings = clean();
  ASSERT_EQ(embeddings.size(), 1u);
  expectNear(embeddings.at("1"), normalised(voice(0, 0.5f)));
  minChunks_ = 2;
  EXPECT_TRUE(clean().empty());
}

TEST_F(CleanSpeakerEmbeddingsTest, OnlyCleanSpeechInsideTheChunkCounts) {
  // A 0–10 s and B 8–12 s: A's chunk 7–9 s holds 1 s of clean speech (7–8 s).
  segment("A", 0, 10);
  segment("B", 8, 12);
  chunk("A", 7, 9, voice(0));
  minChunkCleanSpeech_ = 1.0;
  EXPECT_EQ(clean().count("A"), 1u);
  minChunkCleanSpeech_ = 1.01;
  EXPECT_EQ(clean().count("A"), 0u);
  minChunkCleanSpeech_ = 0.5;
  minTotalCleanSpeech_ = 1.01;
  EXPECT_EQ(clean().count("A"), 0u);
}

TEST_F(CleanSpeakerEmbeddingsTest, TwoChunksThatDisagreeGiveNothing) {
  segment("1", 0, 20);
  chunk("1", 0, 10, voice(0));
  chunk("1", 10, 20, voice(5));
  EXPECT_TRUE(clean().empty());
  // Close enough, both count: the average weighted by 10 s each.
  result_.chunkEmbeddings->back().embedding256 = voice(0, 0.2f);
  const auto embeddings = clean();
  ASSERT_EQ(embeddings.count("1"), 1u);
  Embedding average = normalised(voice(0));
  const Embedding tilted = normalised(voice(0, 0.2f));
  for (std::size_t i = 0; i < average.size(); ++i) average[i] = 10 * average[i] + 10 * tilted[i];
  expectNear(embeddings.at("1"), normalised(average));
}

TEST_F(CleanSpeakerEmbeddingsTest, MedoidRuleDropsTheOutlier) {
  segment("1", 0, 30);
  chunk("1", 0, 10, voice(0));
  chunk("1", 10, 20, voice(0, 0.1f));
  chunk("1", 20, 30, voice(7));
  minChunks_ = 2;
  minConsensus_ = 0.6;
  const auto embeddings = clean();
  ASSERT_EQ(embeddings.count("1"), 1u);
  EXPECT_NEAR(embeddings.at("1")[7], 0.0f, 1e-7);
  EXPECT_GT(embeddings.at("1")[0], 0.99f);
  minChunks_ = 3;
  EXPECT_TRUE(clean().empty());
}

TEST_F(CleanSpeakerEmbeddingsTest, ShortChunkStillSharesItsTime) {
  // Chunk 0–6 s is accepted; chunk 4–5 s has too little clean speech but takes half of 4–5 s:
  // weights 5.5 and 0.5, total 6.0.
  segment("1", 0, 10);
  chunk("1", 0, 6, voice(0));
  chunk("1", 4, 5, voice(0));
  minChunkCleanSpeech_ = 2.0;
  minConsensus_ = 0.9;  // 5.4 <= 5.5
  EXPECT_EQ(clean().count("1"), 1u);
  minConsensus_ = 0.95;  // 5.7 > 5.5
  EXPECT_TRUE(clean().empty());

  // A chunk holding NaN is ignored entirely: no share of time either.
  result_.chunkEmbeddings->back().embedding256[3] = std::numeric_limits<float>::quiet_NaN();
  minConsensus_ = 1.0;
  EXPECT_EQ(clean().count("1"), 1u);
}

TEST_F(CleanSpeakerEmbeddingsTest, SpeakersWithMixedSizesOrNoCleanSpeechAreLeftOut) {
  segment("1", 0, 10);
  segment("2", 10, 20);
  chunk("1", 0, 5, voice(0));
  chunk("1", 5, 10, Embedding(128, 1.0f));
  chunk("2", 10, 20, voice(2));
  chunk("", 0, 20, voice(4));
  const auto embeddings = clean();
  EXPECT_EQ(embeddings.count("1"), 0u);
  EXPECT_EQ(embeddings.count("2"), 1u);
  EXPECT_EQ(embeddings.count(""), 0u);
  EXPECT_EQ(warnings(), (std::vector<std::string>{"Mixed embedding sizes for speaker 1; skipping"}));

  // Speaker 3 has chunks but no segment, so no clean speech: not a zero vector, nothing.
  chunk("3", 0, 10, voice(6));
  minChunkCleanSpeech_ = 0;
  minTotalCleanSpeech_ = 0;
  minConsensus_ = 0;
  EXPECT_EQ(clean().count("3"), 0u);
}

TEST_F(CleanSpeakerEmbeddingsTest, WeakEmbeddingsFailTheQualityCheck) {
  segment("1", 0, 10);
  chunk("1", 0, 10, voice(0, 0, 0.05f));
  EXPECT_TRUE(clean().empty());
}

}  // namespace
}  // namespace tesselaudio
