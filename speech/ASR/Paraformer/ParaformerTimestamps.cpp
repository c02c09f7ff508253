#include "speech/ASR/Paraformer/ParaformerTimestamps.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <numeric>
#include <optional>
#include <string_view>
#include <utility>

#include "speech/ASR/Paraformer/ParaformerConfig.h"
#include "speech/ASR/Shared/LogitsArgmax.h"

namespace tesselaudio::ParaformerTimestamps {
namespace {

constexpr int kUpsampleFactor = 3;
constexpr float kFireThreshold = 0.9999f;
constexpr double kFireStepSeconds = 0.02;
constexpr double kEnvelopeHopSeconds = 0.01;
constexpr int kSmoothingWindow = 3;
constexpr float kEnergyFloor = 0.0001f;
constexpr float kEnergyFactor = 2.5f;
constexpr double kSingleSpan = 0.6;
constexpr double kLastSpanFloor = 0.4;
constexpr double kMinimumSpan = 0.1;
constexpr int kMinimumRunFrames = 3;
constexpr std::string_view kContinuation = "@@";
constexpr std::string_view kWordBoundary = "\u2581";

// A piece placed in time, before pieces are joined into words.
struct Placed {
  double start = 0;
  double end = 0;
  std::string text;
};

std::vector<std::string> countedPieces(const platform::MLMultiArray& logits, int tokenCount,
                                       const std::map<int, std::string>& vocabulary) {
  std::vector<std::string> pieces;
  for (const int id : LogitsArgmax::argmaxPerFrame(logits, tokenCount)) {
    if (id <= ParaformerConfig::eosId) continue;
    const auto piece = vocabulary.find(id);
    if (piece != vocabulary.end() && !piece->second.empty()) pieces.push_back(piece->second);
  }
  return pieces;
}

std::vector<float> upsampled(const std::vector<float>& alphas) {
  std::vector<float> weights;
  weights.reserve(alphas.size() * kUpsampleFactor + 1);
  for (const float alpha : alphas) weights.insert(weights.end(), kUpsampleFactor, alpha);
  weights.push_back(ParaformerConfig::cifTailThreshold);
  return weights;
}

// One fire index per piece and one to close the last: when the weights give another count, they
// are rescaled to sum to exactly that many tokens.
std::vector<int> fireIndices(std::vector<float> weights, std::size_t pieceCount) {
  std::vector<int> fires = cifWoHiddenFireIndices(weights, kFireThreshold);
  if (fires.size() == pieceCount + 1) return fires;
  const float sum = std::accumulate(weights.begin(), weights.end(), 0.0f);
  const float scale = static_cast<float>(pieceCount + 1) / std::max(sum, 0.000001f);
  for (float& weight : weights) weight *= scale;
  return cifWoHiddenFireIndices(weights, kFireThreshold);
}

float energyThreshold(const std::vector<float>& envelope) {
  if (envelope.empty()) return kEnergyFloor;
  return std::max(kEnergyFactor * percentile(envelope, 0.1), kEnergyFloor);
}

// Twice the median gap between consecutive fire times of the first `count` pieces.
double typicalSpan(const std::vector<double>& times, std::size_t count) {
  if (count < 2) return kSingleSpan;
  std::vector<float> gaps;
  gaps.reserve(count - 1);
  for (std::size_t k = 0; k + 1 < count; ++k) gaps.push_back(static_cast<float>(times[k + 1] - times[k]));
  return 2.0 * static_cast<double>(percentile(std::move(gaps), 0.5));
}

std::int64_t frameAt(double seconds) { return static_cast<std::int64_t>(seconds / kEnvelopeHopSeconds); }

// The run of at least three frames above `threshold` within [first, last] whose middle lies
// nearest to frame target / 2; the earlier on a tie.
std::optional<std::pair<std::int64_t, std::int64_t>> nearestSpeechRun(const std::vector<float>& envelope,
                                                                      std::int64_t first, std::int64_t last,
                                                                      float threshold, std::int64_t target) {
  std::optional<std::pair<std::int64_t, std::int64_t>> best;
  std::int64_t bestDistance = 0;
  std::int64_t frame = first;
  while (frame <= last) {
    if (!(envelope[static_cast<std::size_t>(frame)] > threshold)) {
      ++frame;
      continue;
    }
    const std::int64_t runStart = frame;
    while (frame <= last && envelope[static_cast<std::size_t>(frame)] > threshold) ++frame;
    const std::int64_t runEnd = frame - 1;
    if (runEnd - runStart + 1 < kMinimumRunFrames) continue;
    const std::int64_t distance = std::llabs(runStart + runEnd - target);
    if (!best || distance < bestDistance) {
      best = {runStart, runEnd};
      bestDistance = distance;
    }
  }
  return best;
}

// Places pieces 0 … count − 1 one after another from a cursor, each on the nearest speech run
// around its fire time, else right after the previous piece.
std::vector<Placed> placePieces(const std::vector<std::string>& pieces, const std::vector<double>& times,
                                std::size_t count, const std::vector<float>& envelope, float threshold,
                                double duration) {
  const double span = typicalSpan(times, count);
  const auto frames = static_cast<std::int64_t>(envelope.size());
  std::vector<Placed> placed;
  placed.reserve(count);
  double cursor = 0;
  for (std::size_t n = 0; n < count; ++n) {
    const double fireTime = times[n];
    const double gap = n + 1 < count ? times[n + 1] - fireTime
                                     : std::min(duration - fireTime, std::max(span, kLastSpanFloor));
    const double searchEnd = std::min(fireTime + 1.5 * gap + 0.15, duration);
    std::optional<std::pair<std::int64_t, std::int64_t>> run;
    if (!envelope.empty() && cursor < searchEnd) {
      const std::int64_t first = std::max<std::int64_t>(frameAt(cursor), 0);
      const std::int64_t last = std::min(frames - 1, std::max(frameAt(searchEnd), first));
      if (first < frames) run = nearestSpeechRun(envelope, first, last, threshold, 2 * frameAt(fireTime));
    }
    Placed piece{.text = pieces[n]};
    if (run) {
      piece.start = static_cast<double>(run->first) * kEnvelopeHopSeconds;
      piece.end = static_cast<double>(run->second) * kEnvelopeHopSeconds;
    } else {
      piece.start = cursor;
      piece.end = std::min(cursor + (gap > kMinimumSpan ? gap : kMinimumSpan), duration);
    }
    cursor = piece.end;
    placed.push_back(std::move(piece));
  }
  return placed;
}

void dropPrefix(std::string& text, std::string_view prefix) {
  if (text.starts_with(prefix)) text.erase(0, prefix.size());
}

// Joins each piece ending in "@@" with the one after it, drops word-boundary marks, and keeps the
// words that have text.
std::vector<TimestampedSegment> joinWords(std::vector<Placed> placed) {
  std::vector<TimestampedSegment> words;
  for (std::size_t i = 0; i < placed.size(); ++i) {
    std::string text = std::move(placed[i].text);
    double end = placed[i].end;
    const double start = placed[i].start;
    while (text.ends_with(kContinuation)) {
      text.erase(text.size() - kContinuation.size());
      if (i + 1 < placed.size()) {
        ++i;
        std::string next = std::move(placed[i].text);
        dropPrefix(next, kWordBoundary);
        text += next;
        end = placed[i].end;
      }
    }
    dropPrefix(text, kWordBoundary);
    if (!text.empty()) words.push_back({std::max(start, 0.0), end, std::move(text)});
  }
  return words;
}

}  // namespace

std::vector<TimestampedSegment> decodeWithTimestamps(const platform::MLMultiArray& logits, int tokenCount,
                                                     const std::vector<float>& alphas, std::span<const float> audio,
                                                     const std::map<int, std::string>& vocabulary) {
  return segments(countedPieces(logits, tokenCount, vocabulary), alphas, audio);
}

std::vector<TimestampedSegment> segments(const std::vector<std::string>& pieces, const std::vector<float>& alphas,
                                         std::span<const float> audio) {
  if (pieces.empty()) return {};
  const std::vector<double> times = fireTimes(alphas, pieces.size());
  if (times.size() < 2) return {};

  const std::vector<float> envelope =
      smooth(energyEnvelope(audio, ParaformerConfig::sampleRate, kEnvelopeHopSeconds), kSmoothingWindow);
  const float threshold = energyThreshold(envelope);
  const std::size_t count = std::min(times.size() - 1, pieces.size());
  const double duration = static_cast<double>(audio.size()) / ParaformerConfig::sampleRate;
  return joinWords(placePieces(pieces, times, count, envelope, threshold, duration));
}

std::vector<double> fireTimes(const std::vector<float>& alphas, std::size_t pieceCount) {
  std::vector<double> times;
  for (const int fire : fireIndices(upsampled(alphas), pieceCount)) times.push_back(fire * kFireStepSeconds);
  return times;
}

std::vector<int> cifWoHiddenFireIndices(const std::vector<float>& alphas, float threshold) {
  std::vector<int> fires;
  float sum = 0;
  for (std::size_t j = 0; j < alphas.size(); ++j) {
    sum += alphas[j];
    if (sum >= threshold) {
      fires.push_back(static_cast<int>(j));
      sum -= 1.0f;
    }
  }
  return fires;
}

std::vector<float> energyEnvelope(std::span<const float> audio, int sampleRate, double hopSec) {
  const auto hop = std::max<std::size_t>(static_cast<std::size_t>(sampleRate * hopSec), 1);
  if (audio.size() <= hop) return {};
  const std::size_t windows = audio.size() / hop;
  std::vector<float> envelope(windows);
  for (std::size_t w = 0; w < windows; ++w) {
    const float* samples = audio.data() + w * hop;
    float squares = 0;
    for (std::size_t s = 0; s < hop; ++s) squares += samples[s] * samples[s];
    envelope[w] = std::sqrt(squares / static_cast<float>(hop));
  }
  return envelope;
}

std::vector<float> smooth(const std::vector<float>& values, int window) {
  const auto count = static_cast<std::int64_t>(values.size());
  if (count <= window) return values;
  const std::int64_t reach = window / 2;
  std::vector<float> smoothed(values.size());
  for (std::int64_t i = 0; i < count; ++i) {
    const std::int64_t first = std::max<std::int64_t>(i - reach, 0);
    const std::int64_t last = std::min(i + reach, count - 1);
    float sum = 0;
    for (std::int64_t k = first; k <= last; ++k) sum += values[static_cast<std::size_t>(k)];
    smoothed[static_cast<std::size_t>(i)] = sum / static_cast<float>(last - first + 1);
  }
  return smoothed;
}

float percentile(std::vector<float> values, double q) {
  if (values.empty()) return 0;
  const auto last = static_cast<std::int64_t>(values.size()) - 1;
  const auto position = std::clamp(static_cast<std::int64_t>(q * static_cast<double>(last)), std::int64_t{0}, last);
  const auto at = values.begin() + position;
  // Only the one position is needed, not the whole order. NaN (from NaN samples) sorts last, so the
  // order stays a strict one.
  std::nth_element(values.begin(), at, values.end(),
                   [](float a, float b) { return a < b || (!std::isnan(a) && std::isnan(b)); });
  return *at;
}

}  // namespace tesselaudio::ParaformerTimestamps
