#include "speech/Diarizer/Sortformer/SortformerStateUpdater.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include <gtest/gtest.h>

#include "speech/Diarizer/Sortformer/SortformerError.h"

namespace tesselaudio {
namespace {

using ModelNames::Sortformer::ModelPrecision;

constexpr std::int64_t kDims = 512;
constexpr std::int64_t kSpeakers = 4;
using Row = std::array<float, kSpeakers>;

// Frame t's embedding: t in the first component (so tests can tell frames apart), then a slope.
std::vector<float> embedding(std::int64_t t) {
  std::vector<float> values(kDims);
  for (std::int64_t j = 0; j < kDims; ++j) values[j] = static_cast<float>(t) + 0.001f * j;
  return values;
}

void append(std::vector<float>& to, const std::vector<float>& values) {
  to.insert(to.end(), values.begin(), values.end());
}

void append(std::vector<float>& to, const Row& row) { to.insert(to.end(), row.begin(), row.end()); }

// The frame ids in an embedding array (first component of each row).
std::vector<float> frameIds(const std::vector<float>& embeddings) {
  std::vector<float> ids;
  for (std::size_t i = 0; i < embeddings.size(); i += kDims) ids.push_back(embeddings[i]);
  return ids;
}

// A small configuration: chunks of one frame, no context.
SortformerConfig smallConfig(std::int64_t chunkLen, std::int64_t fifoLen, std::int64_t spkcacheLen,
                             std::int64_t updatePeriod, std::int64_t silFramesPerSpk) {
  return SortformerConfig(std::nullopt, ModelPrecision::fp16, chunkLen, 0, 0, fifoLen, spkcacheLen,
                          updatePeriod, 0.2f, silFramesPerSpk, 0.25f, 0.05f, 0.75f, 1.5f, 0.5f,
                          false);
}

// A recording where every fifth frame is silent and the speakers take turns of 12 frames.
Row truth(std::int64_t t) {
  if (t % 5 == 0) return {0.01f, 0.01f, 0.01f, 0.01f};
  Row row{0.05f, 0.05f, 0.05f, 0.05f};
  row[static_cast<std::size_t>((t / 12) % 4)] = 0.9f;
  return row;
}

TEST(SortformerStateUpdaterTest, BalancedSessionFillsFifoThenCacheThenCompresses) {
  const auto& config = SortformerConfig::balancedV2_1();
  const SortformerStateUpdater updater(config);
  SortformerStreamingState state(config);
  std::vector<std::int64_t> popped;  // every frame that left the FIFO, in order

  int moves = 0;
  for (std::int64_t chunkIndex = 0; moves < 2; ++chunkIndex) {
    SCOPED_TRACE(chunkIndex);
    const std::int64_t coreStart = chunkIndex * 6;
    const std::int64_t left = chunkIndex == 0 ? 0 : 1;
    // The model predicts every frame it is shown again: cache rows, FIFO rows, chunk rows.
    std::vector<float> preds;
    if (state.spkcachePreds) {
      preds = *state.spkcachePreds;
    } else {
      for (float id : frameIds(state.spkcache)) append(preds, truth(static_cast<std::int64_t>(id)));
    }
    for (float id : frameIds(state.fifo)) append(preds, truth(static_cast<std::int64_t>(id)));
    std::vector<float> chunk;
    for (std::int64_t t = coreStart - left; t < coreStart + 6 + 7; ++t) {
      append(chunk, embedding(t));
      append(preds, truth(t));
    }
    const auto fifoBefore = state.fifoLength;
    const auto firstInFifo = state.fifo.empty() ? coreStart : static_cast<std::int64_t>(state.fifo[0]);

    const auto result = updater.streamingUpdate(state, chunk, preds, left, 7);

    ASSERT_EQ(result.confirmedFrameCount(), 6);
    ASSERT_EQ(result.tentativeFrameCount(), 7);
    EXPECT_EQ(result.confirmed[0], truth(coreStart)[0]);
    EXPECT_EQ(result.tentative[0], truth(coreStart + 6)[0]);
    if (fifoBefore + 6 <= 188) {
      EXPECT_EQ(state.fifoLength, fifoBefore + 6);
      continue;
    }
    // The FIFO overflowed: its 144 oldest frames went to the cache.
    ++moves;
    EXPECT_EQ(fifoBefore + 6, 192);
    EXPECT_EQ(state.fifoLength, 48);
    EXPECT_EQ(state.fifo.size(), 48u * kDims);
    EXPECT_EQ(state.fifoPreds->size(), 48u * kSpeakers);
    for (std::int64_t t = firstInFifo; t < firstInFifo + 144; ++t) popped.push_back(t);
    if (moves == 1) {
      EXPECT_EQ(state.spkcacheLength, 144);
      EXPECT_FALSE(state.spkcachePreds.has_value());
      EXPECT_EQ(frameIds(state.spkcache).front(), 0.0f);
      EXPECT_EQ(frameIds(state.spkcache).back(), 143.0f);
    }
  }

  // The second move brought the cache to 288 frames; compression cut it back to capacity.
  ASSERT_EQ(state.spkcacheLength, 188);
  ASSERT_EQ(state.spkcache.size(), 188u * kDims);
  ASSERT_TRUE(state.spkcachePreds.has_value());
  ASSERT_EQ(state.spkcachePreds->size(), 188u * kSpeakers);

  // The silence profile is the plain mean of every silent frame that left the FIFO.
  std::vector<double> mean(kDims, 0.0);
  std::int64_t silent = 0;
  for (auto t : popped) {
    if (t % 5 != 0) continue;
    const auto e = embedding(t);
    for (std::int64_t j = 0; j < kDims; ++j) mean[j] += e[j];
    ++silent;
  }
  EXPECT_EQ(state.silenceFrameCount, silent);
  for (std::int64_t j = 0; j < kDims; j += 37) {
    EXPECT_NEAR(state.meanSilenceEmbedding[j], mean[j] / silent, 1e-3) << j;
  }

  // Grouped by speaker: each speaker's frames in time order, then its silence rows.
  std::vector<int> silenceRuns;
  int run = 0;
  for (std::int64_t p = 0; p < 188; ++p) {
    const auto* row = state.spkcachePreds->data() + p * kSpeakers;
    const bool isSilence = std::all_of(row, row + kSpeakers, [](float v) { return v == 0.0f; });
    if (isSilence) {
      EXPECT_TRUE(std::equal(state.meanSilenceEmbedding.begin(), state.meanSilenceEmbedding.end(),
                             state.spkcache.begin() + p * kDims));
      ++run;
    } else if (run > 0) {
      silenceRuns.push_back(run);
      run = 0;
    }
  }
  if (run > 0) silenceRuns.push_back(run);
  ASSERT_EQ(silenceRuns.size(), 4u);
  for (int length : silenceRuns) EXPECT_GE(length, 3);
}

TEST(SortformerStateUpdaterTest, FirstChunkAndLastChunkSplitCoreAndContext) {
  const auto config = smallConfig(4, 40, 188, 31, 3);
  const SortformerStateUpdater updater(config);
  struct Case {
    const char* name;
    std::int64_t left, right;
    std::vector<float> confirmedIds, tentativeIds;
  };
  const Case cases[] = {
      {"firstChunkWithoutLeftContext", 0, 2, {0, 1, 2, 3}, {4, 5}},
      {"lastChunkWithoutRightContext", 1, 0, {1, 2, 3, 4, 5}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SortformerStreamingState state(config);
    std::vector<float> chunk;
    std::vector<float> preds;
    for (std::int64_t t = 0; t < 6; ++t) {
      append(chunk, embedding(t));
      append(preds, Row{static_cast<float>(t), 0, 0, 0});
    }
    const auto result = updater.streamingUpdate(state, chunk, preds, c.left, c.right);
    std::vector<float> confirmed, tentative;
    for (std::size_t i = 0; i < result.confirmed.size(); i += kSpeakers) confirmed.push_back(result.confirmed[i]);
    for (std::size_t i = 0; i < result.tentative.size(); i += kSpeakers) tentative.push_back(result.tentative[i]);
    EXPECT_EQ(confirmed, c.confirmedIds);
    EXPECT_EQ(tentative, c.tentativeIds);
    EXPECT_EQ(frameIds(state.fifo), c.confirmedIds);
    EXPECT_EQ(state.spkcacheLength, 0);
  }
}

TEST(SortformerStateUpdaterTest, OverflowMovesAtLeastThePeriodButNeverMoreThanTheFifoHolds) {
  struct Case {
    const char* name;
    std::int64_t chunkLen, fifoLen, updatePeriod;
    std::vector<std::int64_t> cores;
    std::int64_t wantFifo, wantCache;
  };
  const Case cases[] = {
      {"exactlyFullMovesNothing", 1, 4, 2, {4}, 4, 0},
      {"oneMoreMovesThePeriod", 1, 4, 2, {4, 1}, 3, 2},
      {"largerExcessMovesTheExcess", 1, 4, 2, {9}, 4, 5},
      {"periodBeyondTheFifoEmptiesIt", 6, 4, 10, {5}, 0, 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto config = smallConfig(c.chunkLen, c.fifoLen, 100, c.updatePeriod, 3);
    const SortformerStateUpdater updater(config);
    SortformerStreamingState state(config);
    std::int64_t next = 0;
    for (auto core : c.cores) {
      std::vector<float> chunk;
      std::vector<float> preds;
      for (float id : frameIds(state.spkcache)) append(preds, truth(static_cast<std::int64_t>(id)));
      for (float id : frameIds(state.fifo)) append(preds, truth(static_cast<std::int64_t>(id)));
      for (std::int64_t i = 0; i < core; ++i, ++next) {
        append(chunk, embedding(next));
        append(preds, truth(next));
      }
      updater.streamingUpdate(state, chunk, preds, 0, 0);
    }
    EXPECT_EQ(state.fifoLength, c.wantFifo);
    EXPECT_EQ(state.spkcacheLength, c.wantCache);
    EXPECT_EQ(state.fifo.size(), static_cast<std::size_t>(c.wantFifo * kDims));
    EXPECT_EQ(state.spkcache.size(), static_cast<std::size_t>(c.wantCache * kDims));
    EXPECT_FALSE(state.spkcachePreds.has_value());
    // Oldest frames leave first.
    if (c.wantCache > 0) {
      EXPECT_EQ(frameIds(state.spkcache).front(), 0.0f);
    }
    if (c.wantFifo > 0) {
      EXPECT_EQ(frameIds(state.fifo).back(), static_cast<float>(next - 1));
    }
  }
}

TEST(SortformerStateUpdaterTest, SilenceIsStrictlyBelowTheThreshold) {
  // A FIFO of one frame: every new frame pushes the previous one out through the silence profile.
  const auto config = smallConfig(1, 0, 100, 1, 3);
  const SortformerStateUpdater updater(config);
  struct Case {
    const char* name;
    Row row;
    bool silent;
  };
  const Case cases[] = {
      {"sumExactlyAtThreshold", {0.1f, 0.1f, 0.0f, 0.0f}, false},
      {"oneSpeakerAtThreshold", {0.2f, 0.0f, 0.0f, 0.0f}, false},
      {"justBelow", {0.1f, 0.0999f, 0.0f, 0.0f}, true},
      {"allZero", {0.0f, 0.0f, 0.0f, 0.0f}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SortformerStreamingState state(config);
    std::vector<float> preds;
    append(preds, c.row);
    updater.streamingUpdate(state, embedding(7), preds, 0, 0);
    EXPECT_EQ(state.silenceFrameCount, c.silent ? 1 : 0);
    EXPECT_EQ(state.meanSilenceEmbedding[0], c.silent ? 7.0f : 0.0f);
  }
}

// A full cache of `rows.size() − 1` frames (ids 0, 1, ...) whose last row arrives as the next chunk
// and overflows it by one frame, so the cache is compressed over all rows.
SortformerStreamingState compressOver(const SortformerConfig& config, const std::vector<Row>& rows) {
  const SortformerStateUpdater updater(config);
  SortformerStreamingState state(config);
  const auto cached = static_cast<std::int64_t>(rows.size()) - 1;
  for (std::int64_t t = 0; t < cached; ++t) {
    append(state.spkcache, embedding(t));
    append(*(state.spkcachePreds ? &*state.spkcachePreds : &state.spkcachePreds.emplace()), rows[t]);
  }
  state.spkcacheLength = cached;
  state.meanSilenceEmbedding.assign(kDims, -1.0f);
  std::vector<float> preds = *state.spkcachePreds;
  append(preds, rows.back());
  updater.streamingUpdate(state, embedding(cached), preds, 0, 0);
  return state;
}

TEST(SortformerStateUpdaterTest, CompressionKeepsEachSpeakersBestFrames) {
  // Eight slots, no silence frames, one-frame FIFO: each chunk compresses a nine-frame cache.
  const auto config = smallConfig(1, 0, 8, 1, 0);
  const Row quiet{0.0f, 0.3f, 0.0f, 0.0f};  // not silent, yet no speaker above 0.5
  const Row speaker0{0.9f, 0.0f, 0.0f, 0.0f};
  constexpr float kSilence = -1.0f;
  struct Case {
    const char* name;
    std::vector<Row> rows;
    std::vector<float> wantIds;
  };
  const Case cases[] = {
      // Nine equal frames for eight slots: the newest wins its bonus, then the earlier ties.
      {"tiesKeepTheEarlierFrame",
       {speaker0, speaker0, speaker0, speaker0, speaker0, speaker0, speaker0, speaker0, speaker0},
       {0, 1, 2, 3, 4, 5, 6, 8}},
      {"halfIsNeverKept",
       {quiet, quiet, {0.5f, 0, 0, 0}, {0.51f, 0, 0, 0}, quiet, quiet, quiet, quiet, quiet},
       {3, kSilence, kSilence, kSilence, kSilence, kSilence, kSilence, kSilence}},
      // A broken model's NaN must neither be kept nor upset the ranking of the others.
      {"nanIsNeverKept",
       {quiet, {std::nanf(""), 0, 0, 0}, speaker0, quiet, quiet, quiet, quiet, quiet, quiet},
       {2, kSilence, kSilence, kSilence, kSilence, kSilence, kSilence, kSilence}},
      {"frameKeptByTwoSpeakersIsStoredTwice",
       {quiet, {0.9f, 0.9f, 0, 0}, quiet, quiet, quiet, quiet, quiet, quiet, quiet},
       {1, 1, kSilence, kSilence, kSilence, kSilence, kSilence, kSilence}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto state = compressOver(config, c.rows);
    EXPECT_EQ(state.spkcacheLength, 8);
    EXPECT_EQ(frameIds(state.spkcache), c.wantIds);
    ASSERT_EQ(state.spkcachePreds->size(), 8u * kSpeakers);
    for (std::size_t p = 0; p < c.wantIds.size(); ++p) {
      const Row want = c.wantIds[p] == kSilence ? Row{} : c.rows[static_cast<std::size_t>(c.wantIds[p])];
      EXPECT_TRUE(std::equal(want.begin(), want.end(), state.spkcachePreds->begin() + p * kSpeakers)) << p;
    }
  }
}

TEST(SortformerStateUpdaterTest, ShortInputsThrowAndLeaveTheFifo) {
  const auto config = smallConfig(2, 40, 188, 31, 3);
  const SortformerStateUpdater updater(config);
  // A state with two cache frames and three FIFO frames: preds need (2 + 3) × 4 = 20 values first.
  auto makeState = [&] {
    SortformerStreamingState state(config);
    for (std::int64_t t = 0; t < 2; ++t) append(state.spkcache, embedding(t));
    state.spkcacheLength = 2;
    for (std::int64_t t = 2; t < 5; ++t) append(state.fifo, embedding(t));
    state.fifoLength = 3;
    state.fifoPreds = std::vector<float>(12, 0.7f);
    return state;
  };
  std::vector<float> chunk;  // one left, two core, one right frame
  for (std::int64_t t = 4; t < 8; ++t) append(chunk, embedding(t));

  struct Case {
    const char* name;
    std::size_t predCount;
    std::int64_t left, right;
    SortformerError::Code code;
    const char* description;
    bool fifoPredsRefreshed;
  };
  const Case cases[] = {
      {"fifoOneValueShort", 19, 1, 1, SortformerError::Code::insufficientPredsLength,
       "Insufficient preds length: Not enough predictions for FIFO in streaming update: 20 > 19",
       false},
      {"coreShort", 31, 1, 1, SortformerError::Code::insufficientPredsLength,
       "Insufficient preds length: Not enough predictions for chunk in streaming update: 32 > 31",
       true},
      {"rightContextShort", 35, 1, 1, SortformerError::Code::insufficientPredsLength,
       "Insufficient preds length: Not enough predictions for tentative predictions in streaming "
       "update: 36 > 35",
       true},
      {"contextBeyondTheChunk", 36, 3, 2, SortformerError::Code::insufficientChunkLength,
       "Insufficient chunk length: Not enough chunk embeddings for streaming update: 2560 > 2048",
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto state = makeState();
    std::vector<float> preds(c.predCount, 0.25f);
    try {
      updater.streamingUpdate(state, chunk, preds, c.left, c.right);
      ADD_FAILURE() << "no error";
    } catch (const SortformerError& error) {
      EXPECT_EQ(error.errorCode(), c.code);
      EXPECT_EQ(error.description(), c.description);
    }
    EXPECT_EQ(state.fifoLength, 3);
    EXPECT_EQ(frameIds(state.fifo), (std::vector<float>{2, 3, 4}));
    EXPECT_EQ(state.spkcacheLength, 2);
    EXPECT_EQ(*state.fifoPreds, std::vector<float>(12, c.fifoPredsRefreshed ? 0.25f : 0.7f));
  }
}

TEST(SortformerStateUpdaterTest, SigmoidOfEachValue) {
  const auto result = SortformerStateUpdater::applySigmoid(std::vector<float>{0.0f, 2.0f, -2.0f});
  ASSERT_EQ(result.size(), 3u);
  EXPECT_FLOAT_EQ(result[0], 0.5f);
  EXPECT_FLOAT_EQ(result[1], 0.88079708f);
  EXPECT_FLOAT_EQ(result[2], 0.11920292f);
}

}  // namespace
}  // namespace tesselaudio
