#include "speech/Diarizer/Nemotron3/Nemotron3StateUpdater.h"

#include <cmath>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "speech/Diarizer/Nemotron3/Nemotron3Error.h"

namespace tesselaudio {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
const std::vector<float> kSilence = {-1.0f, -2.0f, -3.0f};

// A small session: chunks of 4 frames with 1 frame of right context, a FIFO of 6, a cache of 16,
// two speakers and 3-wide embeddings. Quotas: q 7, strong 5, weak 10, at least 3 positive.
Nemotron3Config tinyConfig() {
  Nemotron3Config config(4, 0, 1, 6, 16, 4, "Tiny.mlmodelc");
  config.numSpeakers = 2;
  config.preEncoderDims = 3;
  return config;
}

// Embedding rows whose three values are all the row's id.
std::vector<float> rows(const std::vector<float>& ids, std::int64_t dims = 3) {
  std::vector<float> out;
  for (float id : ids) out.insert(out.end(), static_cast<std::size_t>(dims), id);
  return out;
}

std::vector<float> range(float first, int count) {
  std::vector<float> ids;
  for (int i = 0; i < count; ++i) ids.push_back(first + static_cast<float>(i));
  return ids;
}

// The first `count` rows of an embedding array.
std::vector<float> head(const std::vector<float>& values, std::int64_t count, std::int64_t width = 3) {
  return std::vector<float>(values.begin(), values.begin() + count * width);
}

// Model outputs for one call: `cache`, `fifo` and `chunk` prediction rows (two speakers each) in
// the model's order, and the 10 ms rows as 8 copies of each.
struct ModelOutput {
  std::vector<float> predictions;
  std::vector<float> highRes;
};

ModelOutput output(const std::vector<std::vector<float>>& predictionRows, std::int64_t upsample = 8) {
  ModelOutput out;
  for (const auto& row : predictionRows) {
    out.predictions.insert(out.predictions.end(), row.begin(), row.end());
    for (std::int64_t u = 0; u < upsample; ++u) out.highRes.insert(out.highRes.end(), row.begin(), row.end());
  }
  return out;
}

std::vector<std::vector<float>> repeated(std::vector<float> row, int count) {
  return std::vector<std::vector<float>>(static_cast<std::size_t>(count), row);
}

std::vector<std::vector<float>> joined(std::initializer_list<std::vector<std::vector<float>>> parts) {
  std::vector<std::vector<float>> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

class Nemotron3StateUpdaterTest : public testing::Test {
 protected:
  Nemotron3Config config_ = tinyConfig();
  Nemotron3StateUpdater updater_{config_, kSilence};
  Nemotron3StreamingState state_{config_};

  // One chunk of 4 new frames (ids first ... first + 3) plus a right-context frame, every row
  // predicted as `chunkRow`, the cache and FIFO rows as `memoryRow`.
  Nemotron3ChunkResult feed(float first, std::vector<float> chunkRow = {0.9f, 0.1f},
                            std::vector<float> memoryRow = {0.2f, 0.2f}) {
    const auto out = output(joined({repeated(memoryRow, static_cast<int>(state_.spkcacheLength + state_.fifoLength)),
                                    repeated(chunkRow, 5)}));
    return updater_.update(state_, rows(range(first, 5)), 5, out.predictions, out.highRes, 0, 1);
  }
};

TEST_F(Nemotron3StateUpdaterTest, FifoFillsFirstThenPopsIntoTheCache) {
  const auto first = feed(10);
  EXPECT_EQ(first.frameCount, 32);
  EXPECT_EQ(first.numSpeakers, 2);
  EXPECT_EQ(first.probabilities.size(), 64u);
  EXPECT_EQ(state_.fifoLength, 4);
  EXPECT_EQ(state_.spkcacheLength, 0);
  EXPECT_EQ(head(state_.fifo, 6), rows({10, 11, 12, 13, 0, 0}));

  // 4 + 4 > 6: the update period (4) moves the first chunk on.
  feed(20, {0.9f, 0.1f}, {0.3f, 0.7f});
  EXPECT_EQ(state_.fifoLength, 4);
  EXPECT_EQ(head(state_.fifo, 6), rows({20, 21, 22, 23, 0, 0}));
  EXPECT_EQ(state_.spkcacheLength, 4);
  EXPECT_EQ(head(state_.spkcache, 5), rows({10, 11, 12, 13, 0}));
  // The cache takes the model's FIFO predictions of this call, not the stored ones.
  EXPECT_EQ(head(state_.spkcachePreds, 5, 2), (std::vector<float>{0.3f, 0.7f, 0.3f, 0.7f, 0.3f, 0.7f, 0.3f, 0.7f, 0, 0}));
  EXPECT_FALSE(state_.spkcacheCompressed);
}

TEST_F(Nemotron3StateUpdaterTest, ChunkWithoutValidFramesMovesTheWholeFifo) {
  feed(10);
  const auto out = output(repeated({0.5f, 0.5f}, 9));
  const auto result = updater_.update(state_, rows(range(50, 5)), 0, out.predictions, out.highRes, 0, 1);
  EXPECT_EQ(result.frameCount, 0);
  EXPECT_TRUE(result.probabilities.empty());
  EXPECT_EQ(state_.fifoLength, 0);
  EXPECT_EQ(state_.fifo, std::vector<float>(18, 0.0f));
  EXPECT_EQ(state_.fifoPreds, std::vector<float>(12, 0.0f));
  EXPECT_EQ(state_.spkcacheLength, 4);
  EXPECT_EQ(head(state_.spkcache, 4), rows({10, 11, 12, 13}));
}

TEST_F(Nemotron3StateUpdaterTest, ResultIsTheChunksOwnHighResolutionRows) {
  // Left context 1, right context 1: the chunk's own frames are rows 1 ... 3 of the window.
  feed(10);
  std::vector<std::vector<float>> predictionRows = repeated({0.2f, 0.2f}, 4);
  for (int j = 0; j < 5; ++j) predictionRows.push_back({0.1f * static_cast<float>(j), 1.0f});
  const auto out = output(predictionRows);
  const auto result = updater_.update(state_, rows(range(30, 5)), 5, out.predictions, out.highRes, 1, 1);
  ASSERT_EQ(result.frameCount, 24);
  for (int frame = 0; frame < 24; ++frame) {
    EXPECT_FLOAT_EQ(result.probabilities[static_cast<std::size_t>(frame * 2)], 0.1f * static_cast<float>(1 + frame / 8));
  }
  EXPECT_EQ(state_.fifoLength, 3);
  EXPECT_EQ(head(state_.fifo, 3), rows({31, 32, 33}));
}

TEST(Nemotron3StateUpdaterPresetTest, FullFifoAndNineValidFramesPopTheUpdatePeriod) {
  auto config = Nemotron3Config::fast();  // fifoLen 40, update period 40
  config.preEncoderDims = 1;
  const Nemotron3StateUpdater updater(config, {0.0f});
  Nemotron3StreamingState state(config);
  state.fifoLength = 40;
  for (int f = 0; f < 40; ++f) state.fifo[static_cast<std::size_t>(f)] = static_cast<float>(f);
  const auto out = output(repeated(std::vector<float>(8, 0.6f), 40 + 13));
  updater.update(state, rows(range(100, 13), 1), 13, out.predictions, out.highRes, 0, 4);
  EXPECT_EQ(state.fifoLength, 9);
  EXPECT_EQ(head(state.fifo, 10, 1), rows({100, 101, 102, 103, 104, 105, 106, 107, 108, 0}, 1));
  EXPECT_EQ(state.spkcacheLength, 40);
  EXPECT_EQ(head(state.spkcache, 40, 1), rows(range(0, 40), 1));
}

TEST(Nemotron3StateUpdaterPresetTest, OfflineFirstChunkPopsThreeHundredAndCompresses) {
  const auto config = Nemotron3Config::offline();
  const Nemotron3StateUpdater updater(config, std::vector<float>(512, 0.0f));
  Nemotron3StreamingState state(config);
  std::vector<float> embeddings(380 * 512);
  for (std::size_t i = 0; i < embeddings.size(); ++i) embeddings[i] = static_cast<float>(i / 512);
  std::vector<std::vector<float>> predictionRows;
  for (int f = 0; f < 380; ++f) {
    std::vector<float> row(8, 0.05f);
    row[static_cast<std::size_t>(f % 8)] = 0.95f;
    predictionRows.push_back(row);
  }
  const auto out = output(predictionRows);
  const auto result = updater.update(state, embeddings, 380, out.predictions, out.highRes, 0, 40);
  EXPECT_EQ(result.frameCount, 340 * 8);
  EXPECT_EQ(state.fifoLength, 40);
  EXPECT_EQ(state.fifo[0], 300.0f);
  EXPECT_EQ(state.spkcacheLength, 264);
  EXPECT_TRUE(state.spkcacheCompressed);
}

TEST_F(Nemotron3StateUpdaterTest, FirstCompressionScoresTheModelsCachePredictionsLaterOnesTheStoredOnes) {
  // A full cache whose stored predictions say speaker 0 and whose model rows say speaker 1; the
  // popped FIFO frames are silent.
  auto prepare = [&](bool compressed) {
    state_ = Nemotron3StreamingState(config_);
    state_.spkcacheLength = 16;
    state_.spkcacheCompressed = compressed;
    for (int f = 0; f < 16; ++f) {
      state_.spkcache[static_cast<std::size_t>(f * 3)] = static_cast<float>(f);
      state_.spkcachePreds[static_cast<std::size_t>(f * 2)] = 0.9f;
    }
    state_.fifoLength = 6;
  };
  auto run = [&] {
    const auto out = output(joined({repeated({0.1f, 0.9f}, 16), repeated({0.1f, 0.1f}, 6), repeated({0.1f, 0.1f}, 5)}));
    updater_.update(state_, rows(range(40, 5)), 5, out.predictions, out.highRes, 0, 1);
  };

  prepare(false);
  run();
  EXPECT_EQ(state_.spkcacheLength, 16);
  EXPECT_TRUE(state_.spkcacheCompressed);
  // Speaker 0 has nothing above 0.5 in the model's rows: only its silence slot comes first.
  EXPECT_EQ(state_.spkcache[0], kSilence[0]);
  EXPECT_EQ(state_.spkcachePreds[2], 0.1f);
  EXPECT_EQ(state_.spkcachePreds[3], 0.9f);

  prepare(true);
  run();
  EXPECT_EQ(state_.spkcachePreds[0], 0.9f);
  EXPECT_EQ(state_.spkcachePreds[1], 0.0f);
  EXPECT_EQ(state_.spkcache[0], 0.0f);
}

TEST_F(Nemotron3StateUpdaterTest, CompressionGroupsBySpeakerAndFillsWithSilence) {
  // 20 frames; speaker 0 above 0.5 in frames 2 ... 9, speaker 1 never.
  std::vector<float> preds;
  for (int f = 0; f < 20; ++f) {
    preds.push_back(f >= 2 && f <= 9 ? 0.9f : 0.1f);
    preds.push_back(0.3f);
  }
  const auto cache = updater_.compressSpkcache(rows(range(0, 20)), preds, 20);
  ASSERT_EQ(cache.spkcache.size(), 16u * 3);
  ASSERT_EQ(cache.spkcachePreds.size(), 16u * 2);
  EXPECT_EQ(head(cache.spkcache, 8), rows(range(2, 8)));
  for (int slot = 0; slot < 8; ++slot) EXPECT_EQ(cache.spkcachePreds[static_cast<std::size_t>(slot * 2)], 0.9f);
  // Speaker 0's silence slot, speaker 1's only slot, then the empty slots.
  for (std::size_t slot = 8; slot < 16; ++slot) {
    SCOPED_TRACE(slot);
    EXPECT_EQ(std::vector<float>(cache.spkcache.begin() + slot * 3, cache.spkcache.begin() + slot * 3 + 3), kSilence);
    EXPECT_EQ(cache.spkcachePreds[slot * 2], 0.0f);
    EXPECT_EQ(cache.spkcachePreds[slot * 2 + 1], 0.0f);
  }
}

TEST_F(Nemotron3StateUpdaterTest, CompressionKeepsTheBestFramesOfABusySpeaker) {
  // Speaker 0 above 0.5 in all 30 frames, more sure in frames 10 ... 23: they fill the 14 slots
  // beside the two silence slots.
  std::vector<float> preds;
  for (int f = 0; f < 30; ++f) {
    preds.push_back(f >= 10 && f < 24 ? 0.95f : 0.6f);
    preds.push_back(0.1f);
  }
  const auto cache = updater_.compressSpkcache(rows(range(0, 30)), preds, 30);
  EXPECT_EQ(head(cache.spkcache, 14), rows(range(10, 14)));
}

TEST_F(Nemotron3StateUpdaterTest, BoostPicksEachSpeakersHighestScoresEarlierFirstOnTies) {
  const float boost = 2.0f * 0.6931472f;
  std::vector<float> scores = {1, -kInf, 2, 5, 2, -kInf, 2, 5};  // frame-major, two speakers
  updater_.boostTopKScores(scores, 4, 2, 2.0f);
  EXPECT_EQ(scores, (std::vector<float>{1, -kInf, 2 + boost, 5 + boost, 2 + boost, -kInf, 2, 5 + boost}));

  for (std::int64_t k : {0, -1}) {
    std::vector<float> unchanged = {1, 2, 3, 4};
    updater_.boostTopKScores(unchanged, 2, k, 2.0f);
    EXPECT_EQ(unchanged, (std::vector<float>{1, 2, 3, 4}));
  }
  std::vector<float> disabled(8, -kInf);
  updater_.boostTopKScores(disabled, 4, 3, 1.0f);
  EXPECT_EQ(disabled, std::vector<float>(8, -kInf));
}

TEST_F(Nemotron3StateUpdaterTest, TopKPrefersSmallerSpeakerMajorIndexOnTies) {
  // Three frames, the last one silence (+inf) for both speakers.
  const std::vector<float> scores = {1, 1, 1, 1, kInf, kInf};
  const auto three = updater_.topKIndices(scores, 3, 3);
  EXPECT_EQ(three.indices, (std::vector<std::int64_t>{0, 0, 0}));
  EXPECT_EQ(three.isDisabled, (std::vector<bool>{false, true, true}));
  const auto five = updater_.topKIndices(scores, 3, 5);
  EXPECT_EQ(five.indices, (std::vector<std::int64_t>{0, 1, 0, 0, 0}));
  EXPECT_EQ(five.isDisabled, (std::vector<bool>{false, false, true, false, true}));
  const auto eight = updater_.topKIndices(scores, 3, 8);
  EXPECT_EQ(eight.isDisabled, (std::vector<bool>{false, false, true, false, false, true, true, true}));
}

TEST_F(Nemotron3StateUpdaterTest, LowScoresAreDisabled) {
  // Speaker 0: two frames above 0.5 with positive scores; speaker 1: one above 0.5 with a
  // non-positive score.
  const std::vector<float> preds = {0.9f, 0.6f, 0.9f, 0.2f, 0.4f, 0.2f};
  std::vector<float> scores = {1, -0.5f, 2, 3, 4, 5};
  updater_.disableLowScores(preds, scores, 3, 2);
  EXPECT_EQ(scores, (std::vector<float>{1, -0.5f, 2, -kInf, -kInf, -kInf}));
  std::vector<float> strict = {1, -0.5f, 2, 3, 4, 5};
  updater_.disableLowScores(preds, strict, 3, 0);
  EXPECT_EQ(strict, (std::vector<float>{1, -kInf, 2, -kInf, -kInf, -kInf}));
  // A NaN probability is not above 0.5 either, so its NaN score never enters a ranking.
  const std::vector<float> broken = {std::nanf(""), 0.9f};
  std::vector<float> nanScores = {std::nanf(""), 1};
  updater_.disableLowScores(broken, nanScores, 1, 0);
  EXPECT_EQ(nanScores, (std::vector<float>{-kInf, 1}));
}

TEST_F(Nemotron3StateUpdaterTest, LogScoresFollowTheClippedLogProbabilities) {
  const std::vector<float> preds = {0.9f, 0.1f, 0.5f, 0.5f};
  const auto scores = updater_.logPredScores(preds, 2);
  const float l25 = std::log(0.25f), l9 = std::log(0.9f), l5 = std::log(0.5f), ln2 = 0.6931472f;
  EXPECT_FLOAT_EQ(scores[0], (l25 + l9) + (l9 - l25) + ln2);
  EXPECT_FLOAT_EQ(scores[1], (l25 + l9) + (l25 - l9) + ln2);
  EXPECT_FLOAT_EQ(scores[2], (l5 + l5) + ln2);
}

TEST_F(Nemotron3StateUpdaterTest, RefusesInputsItWouldReadPastAndLeavesTheStateAlone) {
  feed(10);
  const auto before = state_;
  const auto good = output(joined({repeated({0.9f, 0.1f}, 4), repeated({0.9f, 0.1f}, 5)}));
  struct Case {
    const char* name;
    std::vector<float> embeddings, predictions, highRes;
    std::int64_t lc, rc;
    bool shortFifo;
  };
  const auto embeddings = rows(range(20, 5));
  // The rows read: 4 FIFO rows and 4 chunk rows; the right-context row is not needed.
  const std::vector<float> shortPredictions(good.predictions.begin(), good.predictions.begin() + 15);
  const std::vector<float> shortHighRes(good.highRes.begin(), good.highRes.begin() + 127);
  const Case cases[] = {
      {"predictions", embeddings, shortPredictions, good.highRes, 0, 1, false},
      {"highResPredictions", embeddings, good.predictions, shortHighRes, 0, 1, false},
      {"chunkEmbeddings", std::vector<float>(embeddings.begin(), embeddings.begin() + 11), good.predictions, good.highRes, 0, 1, false},
      {"negative left context", embeddings, good.predictions, good.highRes, -1, 1, false},
      {"context beyond the window", embeddings, good.predictions, good.highRes, 3, 3, false},
      {"short fifo", embeddings, good.predictions, good.highRes, 0, 1, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    state_ = before;
    if (c.shortFifo) state_.fifo.resize(6);
    const auto expected = state_;
    try {
      updater_.update(state_, c.embeddings, 5, c.predictions, c.highRes, c.lc, c.rc);
      ADD_FAILURE() << "no error";
    } catch (const Nemotron3Error& e) {
      EXPECT_EQ(e.errorCode(), Nemotron3Error::Code::invalidState);
      EXPECT_TRUE(e.description().starts_with("Invalid Nemotron 3 diarization state: ")) << e.description();
    }
    EXPECT_EQ(state_, expected);
  }
}

TEST_F(Nemotron3StateUpdaterTest, CompressionNeedsAWholeSilenceEmbedding) {
  state_.spkcacheLength = 16;
  state_.fifoLength = 6;
  const auto out = output(repeated({0.9f, 0.1f}, 16 + 6 + 5));
  const Nemotron3StateUpdater updater(config_, {1.0f, 2.0f});
  const auto before = state_;
  EXPECT_THROW(updater.update(state_, rows(range(0, 5)), 5, out.predictions, out.highRes, 0, 1), Nemotron3Error);
  EXPECT_EQ(state_, before);
}

TEST(Nemotron3StateUpdaterPresetTest, CompressionIndicesThatWouldReachMaxIndexAreRefused) {
  // 12,504 frames of 8 speakers with one silence frame: the largest index is 100,039.
  Nemotron3Config config(4, 0, 0, 0, 12500, 4, "Large.mlmodelc");
  config.preEncoderDims = 1;
  const Nemotron3StateUpdater updater(config, {0.0f});
  Nemotron3StreamingState state(config);
  state.spkcacheLength = 12500;
  const auto out = output(repeated(std::vector<float>(8, 0.9f), 12504));
  try {
    updater.update(state, rows(range(0, 4), 1), 4, out.predictions, out.highRes, 0, 0);
    ADD_FAILURE() << "no error";
  } catch (const Nemotron3Error& e) {
    EXPECT_EQ(e.errorCode(), Nemotron3Error::Code::invalidState);
    EXPECT_NE(e.description().find("maxIndex"), std::string::npos) << e.description();
  }
  EXPECT_EQ(state.spkcacheLength, 12500);
}

}  // namespace
}  // namespace tesselaudio
