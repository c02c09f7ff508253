#include "speech/Diarizer/Sortformer/SortformerStateUpdater.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <limits>
#include <numeric>
#include <utility>

#include <fmt/format.h>

#include "speech/Diarizer/Sortformer/SortformerError.h"

namespace tesselaudio {
namespace {

constexpr float kLn2 = 0.6931472f;
constexpr float kMinusInfinity = -std::numeric_limits<float>::infinity();
constexpr float kPlusInfinity = std::numeric_limits<float>::infinity();

std::size_t size(std::int64_t count) { return static_cast<std::size_t>(count); }

// Scores order candidates; a NaN from a broken model must not break the sort's ordering.
float rankKey(float score) { return std::isnan(score) ? kMinusInfinity : score; }

// score(f, s) = ln max(p, t) − ln(1 − min(p, 1 − t)) + ln 2 + Σ_s' ln(1 − min(p_s', 1 − t)),
// with p clipped below at 0 inside the second logarithm.
std::vector<float> getLogPredScores(std::span<const float> preds, std::int64_t frameCount,
                                    std::int64_t speakers, float threshold) {
  std::vector<float> scores(size(frameCount * speakers));
  for (std::int64_t f = 0; f < frameCount; ++f) {
    float frameSum = 0;
    for (std::int64_t s = 0; s < speakers; ++s) {
      const float p = preds[size(f * speakers + s)];
      const float a = std::log(std::max(p, threshold));
      const float b = std::log1p(-std::min(std::max(p, 0.0f), 1.0f - threshold));
      scores[size(f * speakers + s)] = a - b + kLn2;
      frameSum += b;
    }
    for (std::int64_t s = 0; s < speakers; ++s) scores[size(f * speakers + s)] += frameSum;
  }
  return scores;
}

// A speaker never keeps a frame where it speaks with probability 0.5 or less, nor a non-positive
// score once it has minPosScores frames with positive ones.
void disableLowScores(std::span<const float> preds, std::vector<float>& scores,
                      std::int64_t frameCount, std::int64_t speakers, std::int64_t minPosScores) {
  std::vector<std::int64_t> positives(size(speakers), 0);
  for (std::int64_t f = 0; f < frameCount; ++f) {
    for (std::int64_t s = 0; s < speakers; ++s) {
      const auto i = size(f * speakers + s);
      if (preds[i] > 0.5f && scores[i] > 0) ++positives[size(s)];
    }
  }
  for (std::int64_t f = 0; f < frameCount; ++f) {
    for (std::int64_t s = 0; s < speakers; ++s) {
      const auto i = size(f * speakers + s);
      if (preds[i] <= 0.5f || (scores[i] <= 0 && positives[size(s)] >= minPosScores)) {
        scores[i] = kMinusInfinity;
      }
    }
  }
}

// Adds `bonus` to each speaker's k best finite scores, the earlier frame first among equals.
void boostTopKScores(std::vector<float>& scores, std::int64_t frameCount, std::int64_t speakers,
                     std::int64_t k, float bonus) {
  std::vector<std::int64_t> frames;
  frames.reserve(size(frameCount));
  for (std::int64_t s = 0; s < speakers; ++s) {
    frames.clear();
    for (std::int64_t f = 0; f < frameCount; ++f) {
      if (rankKey(scores[size(f * speakers + s)]) != kMinusInfinity) frames.push_back(f);
    }
    const auto chosen = std::min<std::size_t>(size(k), frames.size());
    std::partial_sort(frames.begin(), frames.begin() + static_cast<std::ptrdiff_t>(chosen),
                      frames.end(), [&](std::int64_t a, std::int64_t b) {
                        const float sa = scores[size(a * speakers + s)];
                        const float sb = scores[size(b * speakers + s)];
                        return sa > sb || (sa == sb && a < b);
                      });
    for (std::size_t i = 0; i < chosen; ++i) scores[size(frames[i] * speakers + s)] += bonus;
  }
}

struct TopK {
  std::vector<std::int64_t> indices;
  std::vector<bool> isDisabled;
};

// The k best (speaker, frame) candidates read speaker-major, ties to the smaller flat index,
// turned into frame indices in ascending flat order; slots without a finite candidate and slots
// naming one of the trailing `silenceFrames` frames are disabled (index 0).
TopK getTopKIndices(std::span<const float> scores, std::int64_t frameCount, std::int64_t speakers,
                    std::int64_t k, std::int64_t silenceFrames) {
  TopK result;
  if (k <= 0) return result;
  const std::int64_t candidates = speakers * frameCount;
  auto flatScore = [&](std::int64_t q) {
    return rankKey(scores[size((q % frameCount) * speakers + q / frameCount)]);
  };
  std::vector<std::int64_t> order(size(candidates));
  std::iota(order.begin(), order.end(), 0);
  const auto kept = std::min(candidates, k);
  std::partial_sort(order.begin(), order.begin() + kept, order.end(),
                    [&](std::int64_t a, std::int64_t b) {
                      const float sa = flatScore(a);
                      const float sb = flatScore(b);
                      return sa > sb || (sa == sb && a < b);
                    });
  // Enabled flat indices ascending, then the empty slots; a separate flag rather than a large
  // sentinel value keeps the order right however many candidates there are.
  std::vector<std::int64_t> chosen;
  chosen.reserve(size(k));
  for (std::int64_t i = 0; i < kept; ++i) {
    if (flatScore(order[size(i)]) != kMinusInfinity) chosen.push_back(order[size(i)]);
  }
  std::sort(chosen.begin(), chosen.end());
  result.indices.assign(size(k), 0);
  result.isDisabled.assign(size(k), true);
  for (std::size_t p = 0; p < chosen.size(); ++p) {
    const std::int64_t frame = chosen[p] % frameCount;
    if (frame >= frameCount - silenceFrames) continue;
    result.indices[p] = frame;
    result.isDisabled[p] = false;
  }
  return result;
}

}  // namespace

SortformerStateUpdater::SortformerStateUpdater(const SortformerConfig& config)
    : logger_("SortformerStateUpdater"), config_(config) {}

std::vector<float> SortformerStateUpdater::applySigmoid(std::span<const float> values) {
  std::vector<float> result(values.size());
  std::transform(values.begin(), values.end(), result.begin(),
                 [](float x) { return 1.0f / (1.0f + std::exp(-x)); });
  return result;
}

StreamingUpdateResult SortformerStateUpdater::streamingUpdate(SortformerStreamingState& state,
                                                              std::span<const float> chunk,
                                                              std::span<const float> preds,
                                                              std::int64_t leftContext,
                                                              std::int64_t rightContext) const {
  assert(leftContext >= 0 && rightContext >= 0);
  const std::int64_t n = config_.numSpeakers;
  const std::int64_t d = config_.preEncoderDims;
  const std::int64_t c = state.spkcacheLength;
  const std::int64_t f = state.fifoLength;
  const auto predCount = static_cast<std::int64_t>(preds.size());
  const auto chunkCount = static_cast<std::int64_t>(chunk.size());

  // The model has just predicted the FIFO frames again; its rows replace the stored ones.
  if (f > 0) {
    if (predCount < (c + f) * n) {
      throw SortformerError::insufficientPredsLength(fmt::format(
          "Not enough predictions for FIFO in streaming update: {} > {}", (c + f) * n, predCount));
    }
    state.fifoPreds.emplace(preds.begin() + c * n, preds.begin() + (c + f) * n);
  }

  const std::int64_t frames = chunkCount / d;
  const std::int64_t core = frames - leftContext - rightContext;
  if (core < 0) {
    throw SortformerError::insufficientChunkLength(
        fmt::format("Not enough chunk embeddings for streaming update: {} > {}",
                    (leftContext + rightContext) * d, chunkCount));
  }

  const std::int64_t coreStartRow = c + f + leftContext;
  const std::int64_t coreEndRow = coreStartRow + core;
  const std::int64_t rightEndRow = coreEndRow + rightContext;
  if (predCount < coreEndRow * n) {
    throw SortformerError::insufficientPredsLength(
        fmt::format("Not enough predictions for chunk in streaming update: {} > {}",
                    coreEndRow * n, predCount));
  }
  if (predCount < rightEndRow * n) {
    throw SortformerError::insufficientPredsLength(fmt::format(
        "Not enough predictions for tentative predictions in streaming update: {} > {}",
        rightEndRow * n, predCount));
  }

  const auto coreEmbs = chunk.subspan(size(leftContext * d), size(core * d));
  const auto corePreds = preds.subspan(size(coreStartRow * n), size(core * n));
  state.fifo.insert(state.fifo.end(), coreEmbs.begin(), coreEmbs.end());
  state.fifoLength = f + core;
  if (state.fifoPreds) {
    state.fifoPreds->insert(state.fifoPreds->end(), corePreds.begin(), corePreds.end());
  } else {
    state.fifoPreds.emplace(corePreds.begin(), corePreds.end());
  }

  if (state.fifoLength > config_.fifoLen) {
    const std::int64_t pop =
        std::min(state.fifoLength,
                 std::max(config_.spkcacheUpdatePeriod, state.fifoLength - config_.fifoLen));
    moveFifoToCache(state, pop, preds.first(size(std::min(c * n, predCount))));
  }

  StreamingUpdateResult result;
  result.confirmed.assign(corePreds.begin(), corePreds.end());
  result.tentative.assign(preds.begin() + coreEndRow * n, preds.begin() + rightEndRow * n);
  result.numSpeakers = n;
  return result;
}

void SortformerStateUpdater::moveFifoToCache(SortformerStreamingState& state, std::int64_t pop,
                                             std::span<const float> entryCachePreds) const {
  if (!state.fifoPreds) {
    logger_.error(
        "FIFO predictions are nil immediately after updating them during streaming update. "
        "THIS SHOULD NEVER HAPPEN!");
    return;
  }
  const std::int64_t n = config_.numSpeakers;
  const std::int64_t d = config_.preEncoderDims;
  auto& fifoPreds = *state.fifoPreds;
  const auto embCount = std::min(size(pop * d), state.fifo.size());
  const auto predCount = std::min(size(pop * n), fifoPreds.size());
  const auto fifoBegin = state.fifo.begin();
  const auto predsBegin = fifoPreds.begin();

  updateSilenceProfile(state, std::span<const float>(state.fifo).first(embCount),
                       std::span<const float>(fifoPreds).first(predCount), pop);

  state.spkcache.insert(state.spkcache.end(), fifoBegin, fifoBegin + static_cast<std::ptrdiff_t>(embCount));
  state.spkcacheLength += pop;
  const bool overflows = state.spkcacheLength > config_.spkcacheLen;
  if (state.spkcachePreds) {
    state.spkcachePreds->insert(state.spkcachePreds->end(), predsBegin,
                                predsBegin + static_cast<std::ptrdiff_t>(predCount));
  } else if (overflows) {
    // The cache frames present at entry take the model's current rows.
    auto& cachePreds = state.spkcachePreds.emplace();
    cachePreds.reserve(size((config_.spkcacheLen + config_.spkcacheUpdatePeriod) * n));
    cachePreds.assign(entryCachePreds.begin(), entryCachePreds.end());
    cachePreds.insert(cachePreds.end(), predsBegin,
                      predsBegin + static_cast<std::ptrdiff_t>(predCount));
  }
  state.fifo.erase(fifoBegin, fifoBegin + static_cast<std::ptrdiff_t>(embCount));
  fifoPreds.erase(predsBegin, predsBegin + static_cast<std::ptrdiff_t>(predCount));
  state.fifoLength -= pop;

  if (overflows) compressSpkcache(state);
}

void SortformerStateUpdater::updateSilenceProfile(SortformerStreamingState& state,
                                                  std::span<const float> embs,
                                                  std::span<const float> preds,
                                                  std::int64_t frameCount) const {
  const std::int64_t n = config_.numSpeakers;
  const std::int64_t d = config_.preEncoderDims;
  auto& mean = state.meanSilenceEmbedding;
  for (std::int64_t frame = 0; frame < frameCount; ++frame) {
    float sum = 0;
    for (std::int64_t s = 0; s < n; ++s) {
      const auto i = size(frame * n + s);
      if (i < preds.size()) sum += preds[i];
    }
    if (!(sum < config_.silenceThreshold)) continue;
    const auto count = static_cast<float>(state.silenceFrameCount);
    const auto first = size(frame * d);
    const auto width = std::min({mean.size(), size(d), embs.size() > first ? embs.size() - first : 0});
    for (std::size_t j = 0; j < width; ++j) {
      mean[j] = (mean[j] * count + embs[first + j]) / (count + 1);
    }
    ++state.silenceFrameCount;
  }
}

void SortformerStateUpdater::compressSpkcache(SortformerStreamingState& state) const {
  if (!state.spkcachePreds) return;
  const std::int64_t n = config_.numSpeakers;
  const std::int64_t d = config_.preEncoderDims;
  const std::int64_t s = config_.spkcacheSilFramesPerSpk;
  const std::int64_t l = state.spkcacheLength;
  const std::int64_t k = config_.spkcacheLen;
  const auto& preds = *state.spkcachePreds;
  assert(preds.size() >= size(l * n) && state.spkcache.size() >= size(l * d));
  assert(state.meanSilenceEmbedding.size() == size(d));

  const std::int64_t perSpeaker = k / n - s;
  const auto budget = [&](float rate) {
    return static_cast<std::int64_t>(rate * static_cast<float>(perSpeaker));
  };
  const std::int64_t strong = budget(config_.strongBoostRate);
  const std::int64_t weak = budget(config_.weakBoostRate);
  const std::int64_t minPos = budget(config_.minPosScoresRate);

  auto scores = getLogPredScores(preds, l, n, config_.predScoreThreshold);
  disableLowScores(preds, scores, l, n, minPos);
  // The frames beyond capacity are the newest; they get a small edge.
  for (auto i = size(k * n); i < size(l * n); ++i) scores[i] += config_.scoresBoostLatest;
  if (l >= 1 && n >= 1) {
    if (strong >= 1) boostTopKScores(scores, l, n, std::min(strong, l), 2 * kLn2);
    if (weak >= 1) boostTopKScores(scores, l, n, std::min(weak, l), kLn2);
  }
  // Silence frames rank first, so every speaker keeps its share of them.
  scores.resize(size((l + s) * n), kPlusInfinity);

  const auto selection = getTopKIndices(scores, l + s, n, k, s);

  std::vector<float> cache;
  std::vector<float> cachePreds;
  cache.reserve(state.spkcache.capacity());
  cachePreds.reserve(preds.capacity());
  for (std::size_t p = 0; p < selection.indices.size(); ++p) {
    if (selection.isDisabled[p]) {
      cache.insert(cache.end(), state.meanSilenceEmbedding.begin(), state.meanSilenceEmbedding.end());
      cachePreds.insert(cachePreds.end(), size(n), 0.0f);
      continue;
    }
    const auto frame = size(selection.indices[p]);
    cache.insert(cache.end(), state.spkcache.begin() + frame * d, state.spkcache.begin() + (frame + 1) * d);
    cachePreds.insert(cachePreds.end(), preds.begin() + frame * n, preds.begin() + (frame + 1) * n);
  }
  state.spkcache = std::move(cache);
  state.spkcacheLength = k;
  state.spkcachePreds = std::move(cachePreds);
}

}  // namespace tesselaudio
