#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "speech/Diarizer/Offline/Core/OfflineDiarizationError.h"
#include "speech/Diarizer/Offline/Extraction/OfflineEmbeddingExtractor.h"
#include "speech/Shared/ArrayAudioSampleSource.h"
#include "tests/speech/Diarizer/Offline/Extraction/OfflineEmbeddingFixture.h"
#include "tests/support/OutputCapture.h"
#include "tests/support/ThrownDescription.h"

namespace tesselaudio {
namespace {

using Stream = platform::Channel<SegmentationChunk>;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Speaker weights of `frames` frames and three local speakers, with weight 1 for `speaker` in
// frames [first, last].
class Weights {
 public:
  explicit Weights(std::int64_t frames = 589) : rows_(static_cast<std::size_t>(frames), std::vector<float>(3, 0.0f)) {}
  Weights& active(std::int64_t speaker, std::int64_t first, std::int64_t last) {
    for (std::int64_t f = first; f <= last; ++f) rows_[static_cast<std::size_t>(f)][static_cast<std::size_t>(speaker)] = 1;
    return *this;
  }
  const std::vector<std::vector<float>>& rows() const { return rows_; }

 private:
  std::vector<std::vector<float>> rows_;
};

SegmentationChunk chunk(std::int64_t index, double offset, const Weights& weights, double frameDuration = 10.0 / 589) {
  return {index, offset, frameDuration, {}, weights.rows()};
}

// Seconds of audio whose level changes every 271 samples, so that every window has signal.
std::vector<float> voices(std::int64_t seconds) {
  std::vector<float> samples(static_cast<std::size_t>(seconds * 16000));
  for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = 0.1f + 0.01f * static_cast<float>((i / 271) % 13);
  return samples;
}

struct Pair {
  std::int64_t chunkIndex, speakerIndex;
  bool operator==(const Pair&) const = default;
};

std::vector<Pair> pairs(const std::vector<TimedEmbedding>& embeddings) {
  std::vector<Pair> out;
  for (const auto& e : embeddings) out.push_back({e.chunkIndex, e.speakerIndex});
  return out;
}

class OfflineEmbeddingStreamTest : public OfflineEmbeddingFixture {
 protected:
  OfflineEmbeddingStreamTest() : source_(voices(30)) {}

  // Runs `chunks` through a stream, capturing standard error.
  std::vector<TimedEmbedding> extract(const OfflineEmbeddingExtractor& extractor, std::vector<SegmentationChunk> chunks) {
    auto [sender, receiver] = Stream::make();
    for (auto& c : chunks) sender.send(std::move(c));
    sender.finish();
    testsupport::OutputCapture capture(STDERR_FILENO);
    auto result = extractor.extractEmbeddings(source_, receiver);
    standardError_ = capture.text();
    return result;
  }

  std::string timingLine() const {
    const auto at = standardError_.find("[Profiling] Embedding timings: ");
    if (at == std::string::npos) return "";
    return standardError_.substr(at, standardError_.find('\n', at) - at);
  }

  std::string masksLine() const {
    for (const auto& m : messages("OfflineEmbedding")) {
      if (m.starts_with("Embedding masks generated: ")) return m;
    }
    return "";
  }

  ArrayAudioSampleSource source_;
  std::string standardError_;
};

TEST_F(OfflineEmbeddingStreamTest, SpeakerNeedsAFifthOfTheFramesActive) {
  const auto results = extract(extractor(), {chunk(0, 0, Weights().active(0, 0, 116).active(1, 200, 317))});
  // 117 frames are below 0.2 × 589 = 117.8; 118 are not.
  EXPECT_EQ(pairs(results), (std::vector<Pair>{{0, 1}}));
  EXPECT_EQ(masksLine(), "Embedding masks generated: 1 (meanActiveFrames=118.00, fallbackMasks=0, emptyMasks=2)");
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].embedding256.size(), 256u);
  ASSERT_EQ(results[0].rho128.size(), 128u);
  // The PLDA stand-in scales the first value by 40.
  EXPECT_NEAR(results[0].rho128[0], 40.0 * results[0].embedding256[0], 1e-4);
  EXPECT_EQ(results[0].startFrame, 200);
  EXPECT_EQ(results[0].endFrame, 317);
}

TEST_F(OfflineEmbeddingStreamTest, MalformedWeightsGiveEmptyMasks) {
  auto nan = Weights().active(0, 0, 299).active(1, 300, 588).rows();
  nan[10][0] = std::numeric_limits<float>::quiet_NaN();
  // Rows shorter than the first read as zeros.
  for (std::size_t f = 300; f < nan.size(); ++f) nan[f].resize(1);
  auto config = OfflineDiarizerConfig::default_();
  config.embedding.excludeOverlap = false;
  EXPECT_TRUE(extract(extractor(config), {{0, 0.0, 10.0 / 589, {}, nan}}).empty());
  EXPECT_TRUE(logged("OfflineEmbedding", "Embedding extractor produced no valid speaker masks"));
}

TEST_F(OfflineEmbeddingStreamTest, ShortActivityTakesTheFullWeightsAsFallback) {
  auto config = OfflineDiarizerConfig::default_();
  config.embedding.excludeOverlap = false;
  config.embedding.minSegmentDurationSeconds = 5.0;
  const auto results = extract(extractor(config), {chunk(0, 0, Weights().active(0, 0, 199))});
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(masksLine(), "Embedding masks generated: 1 (meanActiveFrames=200.00, fallbackMasks=1, emptyMasks=2)");
}

TEST_F(OfflineEmbeddingStreamTest, OverlapIsLeftOutOfTheMasks) {
  // Speaker 1 talks only while speaker 0 does.
  const auto weights = Weights().active(0, 0, 399).active(1, 100, 299);
  const auto results = extract(extractor(), {chunk(0, 0, weights)});
  ASSERT_EQ(pairs(results), (std::vector<Pair>{{0, 0}}));
  EXPECT_EQ(results[0].frameWeights[150], 0.0f);
  EXPECT_EQ(results[0].frameWeights[350], 1.0f);

  auto config = OfflineDiarizerConfig::default_();
  config.embedding.excludeOverlap = false;
  EXPECT_EQ(pairs(extract(extractor(config), {chunk(0, 0, weights)})), (std::vector<Pair>{{0, 0}, {0, 1}}));
}

TEST_F(OfflineEmbeddingStreamTest, ChunkTimesComeFromItsOffsetAndFrameDuration) {
  struct Case {
    const char* name;
    SegmentationChunk chunk;
    double startTime, endTime;
  };
  const Case cases[] = {
      {"ownValues", chunk(1, 20.0, Weights(400).active(2, 100, 200), 0.016), 21.6, 23.216},
      {"nanOffset", chunk(2, kNaN, Weights().active(0, 0, 299)), 20.0, 20.0 + 300 * 10.0 / 589},
      {"zeroFrameDuration", chunk(0, 1.0, Weights().active(0, 10, 309), 0.0), 1.0 + 10 * 10.0 / 589,
       1.0 + 310 * 10.0 / 589},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto results = extract(extractor(), {c.chunk});
    ASSERT_EQ(results.size(), 1u);
    EXPECT_DOUBLE_EQ(results[0].startTime, c.startTime);
    EXPECT_DOUBLE_EQ(results[0].endTime, c.endTime);
  }
}

TEST_F(OfflineEmbeddingStreamTest, WindowsPastTheAudioAreSkippedAndTheLastIsPadded) {
  // 30 s of audio: a window at 40 s lies after it; one at 27 s holds 3 s and zeros.
  const auto skipped = extract(extractor(), {chunk(0, 40.0, Weights().active(0, 0, 299)),
                                             chunk(1, 1e300, Weights().active(0, 0, 299))});
  EXPECT_TRUE(skipped.empty());
  EXPECT_EQ(timingLine(), "");

  const auto padded = extract(extractor(), {chunk(13, 27.0, Weights().active(0, 0, 149))});
  ASSERT_EQ(padded.size(), 1u);
  EXPECT_TRUE(std::isfinite(padded[0].embedding256[0]));
  EXPECT_NE(timingLine().find("perWindow="), std::string::npos);
}

TEST_F(OfflineEmbeddingStreamTest, MaskSimilarityReusesEmbeddingsWithinOneFbankBatchOnly) {
  struct Case {
    const char* name;
    std::int64_t batchSize;
    std::int64_t secondFrames;
    bool reused;
  };
  const Case cases[] = {
      {"sameBatch", 32, 589, true},
      {"splitBatches", 1, 589, false},
      {"otherLength", 32, 400, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto config = OfflineDiarizerConfig::default_();
    config.embedding.batchSize = c.batchSize;
    config.embedding.skipStrategy = OfflineDiarizerConfig::EmbeddingSkipStrategy::maskSimilarity(0.95f);
    // Two windows of different audio, one speaker slot with the same mask.
    const auto results = extract(extractor(config), {chunk(0, 0.0, Weights().active(0, 0, 299)),
                                                     chunk(1, 12.0, Weights(c.secondFrames).active(0, 0, 299))});
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0].embedding256 == results[1].embedding256, c.reused);
    EXPECT_EQ(timingLine().find(", skipped=1/2") != std::string::npos, c.reused);
  }
}

TEST_F(OfflineEmbeddingStreamTest, PldaRunsInBatchesOfTheLimit) {
  auto config = OfflineDiarizerConfig::default_();
  config.embedding.batchSize = 2;
  const auto weights = Weights().active(0, 0, 149).active(1, 150, 299).active(2, 300, 449);
  const auto results = extract(extractor(config), {chunk(0, 0, weights), chunk(1, 2.0, Weights().active(1, 0, 199))});
  EXPECT_EQ(pairs(results), (std::vector<Pair>{{0, 0}, {0, 1}, {0, 2}, {1, 1}}));
  const auto line = timingLine();
  EXPECT_TRUE(line.starts_with("[Profiling] Embedding timings: fbankTotal=")) << line;
  EXPECT_NE(line.find("batches(fbank=1, plda=2)"), std::string::npos) << line;
  EXPECT_EQ(line.find("skipped"), std::string::npos);
}

TEST_F(OfflineEmbeddingStreamTest, WithoutPldaTransformTheFirstDueBatchFails) {
  const auto made = extractor(OfflineDiarizerConfig::default_(), false);
  const auto description = testsupport::thrownDescription<OfflineDiarizationError>(
      [&] { extract(made, {chunk(0, 0, Weights().active(0, 0, 299))}); });
  EXPECT_EQ(description, "Model not loaded: PLDA transform");
  // No valid mask: no batch is due.
  EXPECT_TRUE(extract(made, {chunk(0, 0, Weights())}).empty());
}

TEST_F(OfflineEmbeddingStreamTest, EmptyStreamLogsNoMasksAndWritesNoTimings) {
  EXPECT_TRUE(extract(extractor(), {}).empty());
  EXPECT_TRUE(logged("OfflineEmbedding", "Embedding extractor produced no valid speaker masks"));
  EXPECT_EQ(standardError_.find("Embedding timings"), std::string::npos);
}

TEST_F(OfflineEmbeddingStreamTest, StreamErrorPassesThroughUnchanged) {
  auto [sender, receiver] = Stream::make();
  sender.send(chunk(0, 0, Weights().active(0, 0, 299)));
  sender.fail(std::make_exception_ptr(OfflineDiarizationError::invalidSpan("from the producer")));
  const auto made = extractor();
  EXPECT_EQ(testsupport::thrownDescription<OfflineDiarizationError>([&] { made.extractEmbeddings(source_, receiver); }),
            "Invalid span: from the producer");
}

TEST_F(OfflineEmbeddingStreamTest, FinishedSegmentationSkipsMissingAndEmptyWindows) {
  SegmentationOutput segmentation;
  segmentation.numChunks = 4;
  segmentation.frameDuration = 10.0 / 589;
  segmentation.speakerWeights = {Weights().active(0, 0, 299).rows(), {}, Weights().active(1, 0, 299).rows()};
  segmentation.chunkOffsets = {0.0, 2.0, 6.5};
  const auto made = extractor();
  const auto results = made.extractEmbeddings(source_, segmentation);
  EXPECT_EQ(pairs(results), (std::vector<Pair>{{0, 0}, {2, 1}}));
  ASSERT_EQ(results.size(), 2u);
  EXPECT_DOUBLE_EQ(results[1].startTime, 6.5);

  // Without offsets a window sits at window length × index.
  segmentation.chunkOffsets.clear();
  const auto fromIndex = made.extractEmbeddings(source_.samples(), segmentation);
  ASSERT_EQ(fromIndex.size(), 2u);
  EXPECT_DOUBLE_EQ(fromIndex[1].startTime, 20.0);
}

}  // namespace
}  // namespace tesselaudio
