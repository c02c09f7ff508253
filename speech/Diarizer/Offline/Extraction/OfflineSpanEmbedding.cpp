// The span embedding of OfflineEmbeddingExtractor: stretches of the recording that one speaker
// holds, embedded without a segmentation mask.

#include <algorithm>
#include <cmath>
#include <utility>

#include "platform/sys/CancellationError.h"
#include "platform/text/DoubleText.h"
#include "speech/Diarizer/Offline/Core/OfflineDiarizationError.h"
#include "speech/Diarizer/Offline/Extraction/OfflineEmbeddingExtractor.h"

namespace tesselaudio {
namespace {

using platform::text::shortestDouble;

std::string spanText(double startSeconds, double endSeconds) {
  return "[" + shortestDouble(startSeconds) + "s, " + shortestDouble(endSeconds) + "s)";
}

// `seconds` × `sampleRate` to the nearest sample, halves away from zero, limited to 0 ... `sampleCount`.
// Limited as a double first: a far bound must not overflow the conversion.
std::int64_t samplePosition(double seconds, std::int64_t sampleRate, std::int64_t sampleCount) {
  const double position = std::round(seconds * static_cast<double>(sampleRate));
  if (!(position > 0)) return 0;
  if (position >= static_cast<double>(sampleCount)) return sampleCount;
  return static_cast<std::int64_t>(position);
}

// Fills `window` with `piece` repeated end to end, the last repetition cut short.
// REQUIRES: `piece` is not empty.
void repeatInto(std::span<const float> piece, std::vector<float>& window) {
  for (std::size_t at = 0; at < window.size(); at += piece.size()) {
    const std::size_t n = std::min(piece.size(), window.size() - at);
    std::copy_n(piece.begin(), n, window.begin() + static_cast<std::ptrdiff_t>(at));
  }
}

// Adds `embedding` to `sum` over the shorter of the two; the first embedding becomes the sum.
void accumulate(std::vector<float>& sum, const std::vector<float>& embedding, std::int64_t countSoFar) {
  if (countSoFar == 0) {
    sum = embedding;
    return;
  }
  const std::size_t n = std::min(sum.size(), embedding.size());
  for (std::size_t i = 0; i < n; ++i) sum[i] += embedding[i];
}

}  // namespace

std::vector<float> OfflineEmbeddingExtractor::embedSpan(const AudioSampleSource& audioSource, double startSeconds,
                                                        double endSeconds, std::stop_token stop) const {
  const SampleRange range =
      sampleRange(startSeconds, endSeconds, config_.segmentation.sampleRate, audioSource.sampleCount());
  const std::int64_t windowSamples = config_.samplesPerWindow();
  // Compared before adding: a saturated window must not overflow the bound.
  const std::int64_t upper = windowSamples < range.length() ? range.lower + std::max<std::int64_t>(0, windowSamples)
                                                             : range.upper;
  return embedWindows(audioSource, {Piece{0, {range.lower, upper}}}, 1, std::move(stop)).front();
}

std::vector<std::vector<float>> OfflineEmbeddingExtractor::embedSpans(const AudioSampleSource& audioSource,
                                                                      const std::vector<Span>& spans,
                                                                      std::stop_token stop) const {
  const std::int64_t sampleCount = audioSource.sampleCount();
  const std::int64_t windowSamples = config_.samplesPerWindow();
  std::vector<Piece> pieces;
  for (std::size_t i = 0; i < spans.size(); ++i) {
    const SampleRange range =
        sampleRange(spans[i].startSeconds, spans[i].endSeconds, config_.segmentation.sampleRate, sampleCount);
    for (const SampleRange& piece : spanPieces(range, windowSamples)) pieces.push_back({i, piece});
  }
  return embedWindows(audioSource, pieces, spans.size(), std::move(stop));
}

std::vector<std::vector<float>> OfflineEmbeddingExtractor::embedWindows(const AudioSampleSource& audioSource,
                                                                        const std::vector<Piece>& pieces,
                                                                        std::size_t spanCount,
                                                                        std::stop_token stop) const {
  const std::int64_t windowSamples = config_.samplesPerWindow();
  if (windowSamples < 1) {
    throw OfflineDiarizationError::invalidConfiguration(
        "segmentation.windowDurationSeconds must be positive to embed spans");
  }
  const auto weights = prepareWeightsInput(std::vector<float>(static_cast<std::size_t>(weightFrameCount_), 1.0f));

  std::vector<std::vector<float>> sums(spanCount);
  std::vector<std::int64_t> counts(spanCount, 0);
  // Only the samples that reach the model input are gathered.
  std::vector<float> window(static_cast<std::size_t>(std::min(windowSamples, audioSampleCount_)));
  std::vector<float> pieceSamples;
  const auto groupSize = static_cast<std::size_t>(modelBatchLimit_);
  for (std::size_t first = 0; first < pieces.size(); first += groupSize) {
    platform::CancellationError::throwIfRequested(stop);
    const std::size_t end = std::min(pieces.size(), first + groupSize);
    std::vector<std::shared_ptr<platform::MLMultiArray>> inputs;
    inputs.reserve(end - first);
    for (std::size_t p = first; p < end; ++p) {
      const SampleRange& samples = pieces[p].samples;
      pieceSamples.resize(static_cast<std::size_t>(std::min(samples.length(), static_cast<std::int64_t>(window.size()))));
      audioSource.copySamples(pieceSamples.data(), samples.lower, static_cast<std::int64_t>(pieceSamples.size()));
      repeatInto(pieceSamples, window);
      inputs.push_back(prepareFbankInput(window.data(), static_cast<std::int64_t>(window.size())));
    }
    const auto features = runFbankBatch(inputs, stop);
    const auto embeddings = runEmbeddingBatch(features, weights, stop);
    for (std::size_t i = 0; i < embeddings.size(); ++i) {
      const std::size_t span = pieces[first + i].spanIndex;
      accumulate(sums[span], embeddings[i], counts[span]);
      ++counts[span];
    }
  }
  for (std::size_t span = 0; span < spanCount; ++span) {
    const auto divisor = static_cast<float>(std::max<std::int64_t>(counts[span], 1));
    for (float& value : sums[span]) value /= divisor;
  }
  return sums;
}

OfflineEmbeddingExtractor::SampleRange OfflineEmbeddingExtractor::sampleRange(double startSeconds, double endSeconds,
                                                                              std::int64_t sampleRate,
                                                                              std::int64_t sampleCount) {
  if (!std::isfinite(startSeconds) || !std::isfinite(endSeconds)) {
    throw OfflineDiarizationError::invalidSpan("span " + spanText(startSeconds, endSeconds) + " is not finite");
  }
  if (startSeconds > endSeconds) {
    throw OfflineDiarizationError::invalidSpan("span " + spanText(startSeconds, endSeconds) +
                                               " ends before it starts");
  }
  const double duration = static_cast<double>(sampleCount) / static_cast<double>(sampleRate);
  if (startSeconds >= duration) {
    throw OfflineDiarizationError::invalidSpan("span " + spanText(startSeconds, endSeconds) +
                                               " starts after the audio ends (" + shortestDouble(duration) + "s)");
  }
  const std::int64_t first = samplePosition(startSeconds, sampleRate, sampleCount);
  const std::int64_t last = samplePosition(endSeconds, sampleRate, sampleCount);
  if (first >= last) {
    throw OfflineDiarizationError::processingFailed("embedSpan: empty span " + spanText(startSeconds, endSeconds));
  }
  return {first, last};
}

std::vector<OfflineEmbeddingExtractor::SampleRange> OfflineEmbeddingExtractor::spanPieces(SampleRange range,
                                                                                         std::int64_t windowLength) {
  const std::int64_t length = range.length();
  if (length <= 0 || windowLength < 1) return {};
  const std::int64_t n = length / windowLength + (length % windowLength == 0 ? 0 : 1);
  // In 128 bits: length × i overflows 64 bits for recordings of days.
  const auto boundary = [&](std::int64_t i) {
    return range.lower + static_cast<std::int64_t>(static_cast<__int128>(length) * i / n);
  };
  std::vector<SampleRange> pieces;
  pieces.reserve(static_cast<std::size_t>(n));
  for (std::int64_t i = 0; i < n; ++i) pieces.push_back({boundary(i), boundary(i + 1)});
  return pieces;
}

}  // namespace tesselaudio
