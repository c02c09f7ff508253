#include "speech/Diarizer/Nemotron3/Nemotron3StateUpdater.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include <fmt/format.h>

#include "speech/Diarizer/Nemotron3/Nemotron3Error.h"

namespace tesselaudio {
namespace {

constexpr float kLn2 = 0.6931472f;
constexpr float kMinusInfinity = -std::numeric_limits<float>::infinity();
constexpr float kPlusInfinity = std::numeric_limits<float>::infinity();

std::size_t size(std::int64_t value) { return static_cast<std::size_t>(value); }

// ln of x, clipped from above at the largest finite float.
float clippedLog(float x) { return std::min(std::log(x), std::numeric_limits<float>::max()); }

// A bounded list of the best candidates seen so far, best first. A candidate displaces or
// precedes an earlier one only with a strictly greater score, so earlier candidates win ties.
class InsertionList {
 public:
  struct Entry {
    float score;
    std::int64_t id;
  };

  explicit InsertionList(std::size_t capacity) : capacity_(capacity) { entries_.reserve(capacity + 1); }

  void offer(float score, std::int64_t id) {
    if (capacity_ == 0) return;
    if (entries_.size() == capacity_ && !(score > entries_.back().score)) return;
    const auto at = std::upper_bound(entries_.begin(), entries_.end(), score,
                                     [](float s, const Entry& e) { return s > e.score; });
    entries_.insert(at, Entry{score, id});
    if (entries_.size() > capacity_) entries_.pop_back();
  }

  const std::vector<Entry>& entries() const { return entries_; }

 private:
  std::size_t capacity_;
  std::vector<Entry> entries_;
};

}  // namespace

Nemotron3StateUpdater::Nemotron3StateUpdater(const Nemotron3Config& config, std::vector<float> silenceEmbedding)
    : config_(config), silenceEmbedding_(std::move(silenceEmbedding)) {}

Nemotron3ChunkResult Nemotron3StateUpdater::update(Nemotron3StreamingState& state,
                                                   std::span<const float> chunkEmbeddings,
                                                   std::int64_t chunkEncLength,
                                                   std::span<const float> predictions,
                                                   std::span<const float> highResPredictions, std::int64_t lc,
                                                   std::int64_t rc) const {
  const std::int64_t n = config_.numSpeakers;
  const std::int64_t dims = config_.preEncoderDims;
  const std::int64_t up = config_.upsampleFactor;
  if (lc < 0 || rc < 0 || lc + rc > config_.chunkEncFrames()) {
    throw Nemotron3Error::invalidState(fmt::format(
        "context of {} + {} frames does not fit a chunk of {} frames", lc, rc, config_.chunkEncFrames()));
  }
  const std::int64_t m = state.spkcacheLength;
  const std::int64_t fifoCount = state.fifoLength;

  // 1. The chunk's own valid frames.
  const std::int64_t maxCore = config_.chunkEncFrames() - lc - rc;
  const std::int64_t valid = std::min(std::max<std::int64_t>(chunkEncLength - lc, 0), maxCore);

  // 3. How many frames leave the FIFO.
  const std::int64_t total = fifoCount + valid;
  std::int64_t popOut = 0;
  if (valid == 0) {
    popOut = fifoCount;
  } else if (total > config_.fifoLen) {
    popOut = std::min(std::max(config_.spkcacheUpdatePeriod, total - config_.fifoLen), total);
  }
  checkInputs(state, chunkEmbeddings.size(), predictions.size(), highResPredictions.size(), lc, valid, popOut);

  // 2. Slices of the model output.
  const auto modelCachePreds = predictions.subspan(0, size(n * m));
  const auto modelFifoPreds = predictions.subspan(size(n * m), size(n * fifoCount));
  const auto chunkPreds = predictions.subspan(size(n * (m + fifoCount + lc)), size(n * valid));
  const auto chunkHighRes = highResPredictions.subspan(size(up * n * (m + fifoCount + lc)), size(up * n * valid));

  // 4. The queue: the FIFO, then the chunk's own frames (context dropped).
  std::vector<float> queueEmbs(state.fifo.begin(), state.fifo.begin() + dims * fifoCount);
  const auto ownEmbs = chunkEmbeddings.subspan(size(dims * lc), size(dims * valid));
  queueEmbs.insert(queueEmbs.end(), ownEmbs.begin(), ownEmbs.end());
  std::vector<float> queuePreds(modelFifoPreds.begin(), modelFifoPreds.end());
  queuePreds.insert(queuePreds.end(), chunkPreds.begin(), chunkPreds.end());

  // 5. What stays in the FIFO moves to its front; the rest of it is cleared.
  const std::int64_t kept = total - popOut;
  std::fill(std::copy(queueEmbs.begin() + dims * popOut, queueEmbs.end(), state.fifo.begin()), state.fifo.end(),
            0.0f);
  std::fill(std::copy(queuePreds.begin() + n * popOut, queuePreds.end(), state.fifoPreds.begin()),
            state.fifoPreds.end(), 0.0f);
  state.fifoLength = kept;

  // 6. The popped frames join the speaker cache.
  const std::int64_t newLength = m + popOut;
  const auto poppedEmbs = std::span<const float>(queueEmbs).subspan(0, size(dims * popOut));
  const auto poppedPreds = std::span<const float>(queuePreds).subspan(0, size(n * popOut));
  if (newLength > config_.spkcacheLen) {
    std::vector<float> cacheEmbs(state.spkcache.begin(), state.spkcache.begin() + dims * m);
    cacheEmbs.insert(cacheEmbs.end(), poppedEmbs.begin(), poppedEmbs.end());
    std::vector<float> cachePreds;
    if (state.spkcacheCompressed) {
      cachePreds.assign(state.spkcachePreds.begin(), state.spkcachePreds.begin() + n * m);
    } else {
      cachePreds.assign(modelCachePreds.begin(), modelCachePreds.end());
    }
    cachePreds.insert(cachePreds.end(), poppedPreds.begin(), poppedPreds.end());
    const auto compressed = compressSpkcache(cacheEmbs, cachePreds, newLength);
    std::fill(std::copy(compressed.spkcache.begin(), compressed.spkcache.end(), state.spkcache.begin()),
              state.spkcache.end(), 0.0f);
    std::fill(std::copy(compressed.spkcachePreds.begin(), compressed.spkcachePreds.end(), state.spkcachePreds.begin()),
              state.spkcachePreds.end(), 0.0f);
    state.spkcacheLength = config_.spkcacheLen;
    state.spkcacheCompressed = true;
  } else if (popOut >= 1) {
    std::copy(poppedEmbs.begin(), poppedEmbs.end(), state.spkcache.begin() + dims * m);
    std::copy(poppedPreds.begin(), poppedPreds.end(), state.spkcachePreds.begin() + n * m);
    state.spkcacheLength = newLength;
  }

  // 7. The chunk's new 10 ms probabilities.
  return Nemotron3ChunkResult{std::vector<float>(chunkHighRes.begin(), chunkHighRes.end()), valid * up, n};
}

void Nemotron3StateUpdater::checkInputs(const Nemotron3StreamingState& state, std::size_t embeddingCount,
                                        std::size_t predictionCount, std::size_t highResCount, std::int64_t lc,
                                        std::int64_t valid, std::int64_t popOut) const {
  const std::int64_t n = config_.numSpeakers;
  const std::int64_t dims = config_.preEncoderDims;
  auto refuse = [](const std::string& message) { throw Nemotron3Error::invalidState(message); };
  auto tooShort = [&](const char* what, std::size_t have, std::int64_t need) {
    if (have < size(need)) refuse(fmt::format("{} holds {} values, needs {}", what, have, need));
  };
  if (state.spkcacheLength < 0 || state.spkcacheLength > config_.spkcacheLen) {
    refuse(fmt::format("spkcacheLength {} outside 0...{}", state.spkcacheLength, config_.spkcacheLen));
  }
  if (state.fifoLength < 0 || state.fifoLength > config_.fifoLen) {
    refuse(fmt::format("fifoLength {} outside 0...{}", state.fifoLength, config_.fifoLen));
  }
  tooShort("spkcache", state.spkcache.size(), dims * config_.spkcacheLen);
  tooShort("spkcachePreds", state.spkcachePreds.size(), n * config_.spkcacheLen);
  tooShort("fifo", state.fifo.size(), dims * config_.fifoLen);
  tooShort("fifoPreds", state.fifoPreds.size(), n * config_.fifoLen);
  const std::int64_t rows = state.spkcacheLength + state.fifoLength + lc + valid;
  tooShort("chunkEmbeddings", embeddingCount, dims * (lc + valid));
  tooShort("predictions", predictionCount, n * rows);
  tooShort("highResPredictions", highResCount, config_.upsampleFactor * n * rows);
  const std::int64_t newLength = state.spkcacheLength + popOut;
  if (newLength > config_.spkcacheLen) {
    tooShort("silenceEmbedding", silenceEmbedding_.size(), dims);
    const std::int64_t largest = n * (newLength + config_.spkcacheSilFramesPerSpk) - 1;
    if (largest >= config_.maxIndex) {
      refuse(fmt::format("compressing {} frames needs index {}, at or beyond maxIndex {}", newLength, largest,
                         config_.maxIndex));
    }
  }
}

Nemotron3StateUpdater::CompressedCache Nemotron3StateUpdater::compressSpkcache(std::span<const float> embs,
                                                                               std::span<const float> preds,
                                                                               std::int64_t frameCount) const {
  const std::int64_t n = config_.numSpeakers;
  const std::int64_t dims = config_.preEncoderDims;
  const std::int64_t capacity = config_.spkcacheLen;
  const std::int64_t silenceFrames = config_.spkcacheSilFramesPerSpk;

  // 1. Per-speaker quotas, truncated toward zero as in single precision.
  const float quota = static_cast<float>(capacity / n - silenceFrames);
  const auto strongK = static_cast<std::int64_t>(config_.strongBoostRate * quota);
  const auto weakK = static_cast<std::int64_t>(config_.weakBoostRate * quota);
  const auto minPos = static_cast<std::int64_t>(config_.minPosScoresRate * quota);

  auto scores = logPredScores(preds, frameCount);
  disableLowScores(preds, scores, frameCount, minPos);
  // Frames at or beyond the cache's capacity are the newest ones.
  if (config_.scoresBoostLatest > 0) {
    for (std::int64_t i = capacity * n; i < frameCount * n; ++i) {
      if (scores[size(i)] != kMinusInfinity) scores[size(i)] += config_.scoresBoostLatest;
    }
  }
  boostTopKScores(scores, frameCount, strongK, 2.0f);
  boostTopKScores(scores, frameCount, weakK, 1.0f);
  // The reserved silence frames, always chosen.
  scores.resize(size((frameCount + silenceFrames) * n), kPlusInfinity);
  const auto picked = topKIndices(scores, frameCount + silenceFrames, capacity);

  CompressedCache cache{std::vector<float>(size(capacity * dims), 0.0f), std::vector<float>(size(capacity * n), 0.0f)};
  for (std::size_t slot = 0; slot < picked.indices.size(); ++slot) {
    const auto embedding = cache.spkcache.begin() + static_cast<std::ptrdiff_t>(slot) * dims;
    if (picked.isDisabled[slot]) {
      std::copy_n(silenceEmbedding_.begin(), dims, embedding);
      continue;
    }
    const std::int64_t frame = picked.indices[slot];
    std::copy_n(embs.begin() + frame * dims, dims, embedding);
    std::copy_n(preds.begin() + frame * n, n, cache.spkcachePreds.begin() + static_cast<std::ptrdiff_t>(slot) * n);
  }
  return cache;
}

std::vector<float> Nemotron3StateUpdater::logPredScores(std::span<const float> preds, std::int64_t frameCount) const {
  const std::int64_t n = config_.numSpeakers;
  const float threshold = config_.predScoreThreshold;
  std::vector<float> scores(size(frameCount * n));
  std::vector<float> rest(size(n));
  for (std::int64_t f = 0; f < frameCount; ++f) {
    float sum = 0.0f;
    for (std::int64_t s = 0; s < n; ++s) {
      rest[size(s)] = clippedLog(std::max(1.0f - preds[size(f * n + s)], threshold));
      sum += rest[size(s)];
    }
    for (std::int64_t s = 0; s < n; ++s) {
      const float present = clippedLog(std::max(preds[size(f * n + s)], threshold));
      scores[size(f * n + s)] = (sum + (present - rest[size(s)])) + kLn2;
    }
  }
  return scores;
}

void Nemotron3StateUpdater::disableLowScores(std::span<const float> preds, std::span<float> scores,
                                             std::int64_t frameCount, std::int64_t minPosScores) const {
  const std::int64_t n = config_.numSpeakers;
  std::vector<std::int64_t> positive(size(n), 0);
  for (std::int64_t i = 0; i < frameCount * n; ++i) {
    if (preds[size(i)] > 0.5f && scores[size(i)] > 0) ++positive[size(i % n)];
  }
  for (std::int64_t i = 0; i < frameCount * n; ++i) {
    // Written as "not above" so that a NaN probability is disabled too.
    if (!(preds[size(i)] > 0.5f)) {
      scores[size(i)] = kMinusInfinity;
    } else if (scores[size(i)] <= 0 && positive[size(i % n)] >= minPosScores) {
      scores[size(i)] = kMinusInfinity;
    }
  }
}

void Nemotron3StateUpdater::boostTopKScores(std::span<float> scores, std::int64_t frameCount, std::int64_t k,
                                            float scaleFactor) const {
  if (k <= 0 || frameCount <= 0) return;
  const std::int64_t n = config_.numSpeakers;
  const float boost = scaleFactor * kLn2;
  for (std::int64_t s = 0; s < n; ++s) {
    InsertionList best(size(std::min(frameCount, k)));
    for (std::int64_t f = 0; f < frameCount; ++f) {
      const float score = scores[size(f * n + s)];
      if (score != kMinusInfinity) best.offer(score, f);
    }
    for (const auto& entry : best.entries()) scores[size(entry.id * n + s)] += boost;
  }
}

Nemotron3StateUpdater::TopK Nemotron3StateUpdater::topKIndices(std::span<const float> scores, std::int64_t frameCount,
                                                               std::int64_t k) const {
  const std::int64_t n = config_.numSpeakers;
  const std::int64_t silenceFrames = config_.spkcacheSilFramesPerSpk;
  const std::int64_t slots = std::max<std::int64_t>(k, 0);
  // Pairs scored −∞ are never written out, so they need not compete for the list; when no more
  // than k pairs remain, every one of them is kept and nothing needs ranking.
  std::vector<std::int64_t> order;
  order.reserve(size(slots));
  std::int64_t finite = 0;
  for (std::int64_t i = 0; i < frameCount * n; ++i) finite += scores[size(i)] != kMinusInfinity ? 1 : 0;
  if (finite <= slots) {
    for (std::int64_t s = 0; s < n; ++s) {
      for (std::int64_t f = 0; f < frameCount; ++f) {
        if (scores[size(f * n + s)] != kMinusInfinity) order.push_back(s * frameCount + f);
      }
    }
  } else {
    InsertionList best(size(slots));
    for (std::int64_t s = 0; s < n; ++s) {
      for (std::int64_t f = 0; f < frameCount; ++f) {
        const float score = scores[size(f * n + s)];
        if (score != kMinusInfinity) best.offer(score, s * frameCount + f);
      }
    }
    for (const auto& entry : best.entries()) order.push_back(entry.id);
    std::sort(order.begin(), order.end());
  }
  order.resize(size(slots), config_.maxIndex);

  TopK result{std::vector<std::int64_t>(order.size(), 0), std::vector<bool>(order.size(), false)};
  for (std::size_t i = 0; i < order.size(); ++i) {
    if (order[i] == config_.maxIndex) {
      result.isDisabled[i] = true;
      continue;
    }
    const std::int64_t frame = order[i] % frameCount;
    if (frame >= frameCount - silenceFrames) {
      result.isDisabled[i] = true;
    } else {
      result.indices[i] = frame;
    }
  }
  return result;
}

}  // namespace tesselaudio
