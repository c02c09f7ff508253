#include "speech/ASR/Parakeet/SlidingWindow/TDT/ChunkProcessor.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <span>

#include "speech/Shared/ASRConstants.h"
#include "speech/Shared/AudioSampleSource.h"

namespace tesselaudio {
namespace {

constexpr std::int64_t kFrame = ASRConstants::samplesPerEncoderFrame;

constexpr std::int64_t kEnergyPieceFrames = 256;
constexpr float kSpeechRms = 0.0005F;

// A new start lies at most this far short of the previous window's end.
constexpr std::int64_t kLatestStartMargin = 7680;
constexpr std::int64_t kWideHalfFrames = 50;
constexpr std::int64_t kNarrowHalfFrames = 6;
constexpr float kWidePauseRatio = 0.05F;
constexpr float kNarrowPauseRatio = 0.35F;
constexpr float kWarmupLoudRatio = 0.8F;

constexpr std::int64_t kLatePauseLookBack = 80000;
constexpr float kLatePauseRelativeRms = 0.18F;
constexpr float kLatePauseFloorRms = 0.004F;
constexpr std::ptrdiff_t kLatePauseMinRun = 3;

constexpr std::int64_t kWarmupBlockSamples = 320;
constexpr std::int64_t kWarmupQuietSamples = 3200;
constexpr float kWarmupQuietRms = 0.003F;

// Truncates toward zero, as every caller wants for the values it passes.
std::int64_t roundedDownToFrame(std::int64_t samples) { return samples / kFrame * kFrame; }

float sumOfSquares(std::span<const float> samples) {
  float sum = 0;
  for (const float sample : samples) sum += sample * sample;
  return sum;
}

// Reads spans of the input into one reused buffer. Samples the source lacks read as zeros, so a
// totalSamples beyond the source never leaves stale values behind.
class SampleReader {
 public:
  SampleReader(const AudioSampleSource& source, std::int64_t totalSamples)
      : source_(source), totalSamples_(totalSamples) {}

  // Samples [begin, end), clamped to [0, totalSamples).
  std::span<const float> read(std::int64_t begin, std::int64_t end) {
    begin = std::max<std::int64_t>(begin, 0);
    end = std::min(end, totalSamples_);
    if (end <= begin) return {};
    const auto count = static_cast<std::size_t>(end - begin);
    buffer_.resize(std::max(buffer_.size(), count));
    const std::int64_t available = std::clamp<std::int64_t>(source_.sampleCount() - begin, 0, end - begin);
    source_.copySamples(buffer_.data(), begin, available);
    std::fill(buffer_.begin() + available, buffer_.begin() + static_cast<std::ptrdiff_t>(count), 0.0F);
    return {buffer_.data(), count};
  }

  // The mean square of [begin, end) clamped to the input; 0 for an empty range.
  float meanSquare(std::int64_t begin, std::int64_t end) {
    const std::span<const float> samples = read(begin, end);
    if (samples.empty()) return 0;
    return sumOfSquares(samples) / static_cast<float>(samples.size());
  }

 private:
  const AudioSampleSource& source_;
  std::int64_t totalSamples_;
  std::vector<float> buffer_;
};

// Orders NaN after every number, so that audio holding NaN cannot break the sort.
bool energyBefore(float a, float b) { return std::isnan(b) ? !std::isnan(a) : a < b; }

// The local energy of the frame boundaries of one search.
struct BoundaryEnergy {
  std::int64_t position = 0;
  float energy = 0;
};

// The quietest boundary of a search and the median energy of all it counted.
struct SearchMinimum {
  std::int64_t position = 0;
  float energy = 0;
  float median = 0;

  bool isPause(float ratio) const { return median <= 0 ? energy <= 0 : energy <= ratio * median; }
};

// The earliest of the lowest energies among `boundaries` between frames `first` and `last`.
std::optional<SearchMinimum> minimumBetween(const std::vector<BoundaryEnergy>& boundaries, std::int64_t first,
                                            std::int64_t last) {
  std::optional<SearchMinimum> best;
  std::vector<float> energies;
  for (const BoundaryEnergy& boundary : boundaries) {
    const std::int64_t frame = boundary.position / kFrame;
    if (frame < first || frame > last) continue;
    energies.push_back(boundary.energy);
    if (!best || boundary.energy < best->energy) best = SearchMinimum{boundary.position, boundary.energy, 0};
  }
  if (!best) return std::nullopt;
  const auto middle = energies.begin() + static_cast<std::ptrdiff_t>(energies.size() / 2);
  std::nth_element(energies.begin(), middle, energies.end(), energyBefore);
  best->median = *middle;
  return best;
}

// The search for one start near a target on the stride grid: a wide search for a real pause, then
// a narrow one for a quiet spot, then the grid position itself.
class StartSearch {
 public:
  StartSearch(const ChunkProcessor& processor, std::int64_t chunkSamples, bool canUseWarmupPrefix)
      : processor_(processor),
        reader_(processor.sampleSource, processor.totalSamples),
        chunkSamples_(chunkSamples),
        canUseWarmupPrefix_(canUseWarmupPrefix),
        lastFrame_((processor.totalSamples - 1) / kFrame) {}

  ChunkProcessor::ChunkStartDecision startNear(std::int64_t target, std::int64_t previousStart) {
    const std::int64_t latest = previousStart + chunkSamples_ - kLatestStartMargin;
    const std::int64_t targetFrame = target / kFrame;
    const std::int64_t fallback = std::min(std::max(previousStart + kFrame, targetFrame * kFrame), latest);

    const std::int64_t wideFirst = std::max<std::int64_t>(targetFrame - kWideHalfFrames, 1);
    const std::int64_t wideLast = std::min(targetFrame + kWideHalfFrames, lastFrame_);
    const std::vector<BoundaryEnergy> boundaries = countedBoundaries(wideFirst, wideLast, previousStart, latest);

    const auto wide = minimumBetween(boundaries, wideFirst, wideLast);
    if (wide && wide->isPause(kWidePauseRatio)) return startInPause(*wide, fallback);

    // The narrow range lies inside the wide one, so its energies are already at hand.
    const auto narrow = minimumBetween(boundaries, std::max<std::int64_t>(targetFrame - kNarrowHalfFrames, 1),
                                       std::min(targetFrame + kNarrowHalfFrames, lastFrame_));
    const bool quietEnough = narrow && narrow->isPause(kNarrowPauseRatio);
    return {quietEnough ? narrow->position : fallback, false, false};
  }

 private:
  // The local energies of the boundaries of frames `first` to `last` that lie after
  // `previousStart` and no later than `latest`, read in one piece.
  std::vector<BoundaryEnergy> countedBoundaries(std::int64_t first, std::int64_t last, std::int64_t previousStart,
                                                std::int64_t latest) {
    first = std::max(first, previousStart / kFrame + 1);
    if (latest < kFrame) return {};
    last = std::min(last, latest / kFrame);
    if (last < first) return {};
    const std::int64_t begin = first * kFrame - kFrame;
    const std::int64_t end = std::min(last * kFrame + kFrame, processor_.totalSamples);
    const std::span<const float> samples = reader_.read(begin, end);
    std::vector<BoundaryEnergy> boundaries;
    for (std::int64_t frame = first; frame <= last; ++frame) {
      const std::int64_t position = frame * kFrame;
      const std::int64_t from = position - kFrame;
      const std::int64_t to = std::min(position + kFrame, end);
      const float energy = sumOfSquares(samples.subspan(static_cast<std::size_t>(from - begin),
                                                        static_cast<std::size_t>(to - from)));
      boundaries.push_back({position, energy / static_cast<float>(to - from)});
    }
    return boundaries;
  }

  // A start at a pause, unless a warm-up from there would still begin and end in loud audio.
  ChunkProcessor::ChunkStartDecision startInPause(const SearchMinimum& pause, std::int64_t fallback) {
    ChunkProcessor::ChunkStartDecision decision{pause.position, false, true};
    if (!canUseWarmupPrefix_) return decision;
    decision.useWarmupPrefix = processor_.shouldUseWarmupPrefix(pause.position);
    const std::int64_t windowEnd = pause.position + chunkSamples_ - kLatestStartMargin;
    if (pause.median > 0 && decision.useWarmupPrefix && pause.position < fallback &&
        windowEnd < processor_.totalSamples) {
      const float atFallback = processor_.boundaryEnergyScore(fallback, kFrame);
      const float atWindowEnd = processor_.boundaryEnergyScore(windowEnd, kFrame);
      const float loud = kWarmupLoudRatio * pause.median;
      if (atFallback > loud && atWindowEnd > loud) return {fallback, false, false};
    }
    return decision;
  }

  const ChunkProcessor& processor_;
  SampleReader reader_;
  std::int64_t chunkSamples_;
  bool canUseWarmupPrefix_;
  std::int64_t lastFrame_;
};

// A frame boundary that may end a window early, with the mean square of the two frames meeting there.
struct PauseCandidate {
  std::int64_t position = 0;
  float energy = 0;
};

// The middle of the latest run of at least kLatePauseMinRun quiet candidates.
std::optional<std::int64_t> middleOfLatestQuietRun(const std::vector<PauseCandidate>& kept, float threshold) {
  const auto quiet = [&](std::ptrdiff_t index) { return kept[static_cast<std::size_t>(index)].energy <= threshold; };
  for (auto i = static_cast<std::ptrdiff_t>(kept.size()) - 1; i >= 0; --i) {
    if (!quiet(i)) continue;
    std::ptrdiff_t j = i;
    while (j > 0 && quiet(j - 1)) --j;
    if (i - j + 1 >= kLatePauseMinRun) return kept[static_cast<std::size_t>((i + j) / 2)].position;
    i = j;
  }
  return std::nullopt;
}

}  // namespace

ChunkProcessor::ChunkProcessor(const AudioSampleSource& sampleSource)
    : sampleSource(sampleSource), totalSamples(sampleSource.sampleCount()) {}

ChunkProcessor::ChunkLayout ChunkProcessor::chunkLayout(bool melChunkContext,
                                                        std::optional<AsrModelVersion> modelVersion) const {
  assert(melContextSamples >= 0 && noMelWarmupPrefixFrames >= 0);
  const std::int64_t context = melChunkContext ? melContextSamples : 0;
  const std::int64_t chunkSamples = roundedDownToFrame(
      std::max<std::int64_t>(ASRConstants::maxModelSamples - ASRConstants::melHopSize - context, kFrame));
  const bool warmsUp = !melChunkContext && modelVersion && modelVersion->isV3Family();
  return {chunkSamples, strideSamples(chunkSamples), context, warmsUp ? noMelWarmupPrefixFrames * kFrame : 0};
}

std::int64_t ChunkProcessor::strideSamples(std::int64_t chunkSamples) const {
  assert(chunkSamples >= kFrame);
  const std::int64_t halfWindow = chunkSamples / 2;
  double overlap = overlapSeconds * ASRConstants::sampleRate;
  // Converting a value outside the integer range is undefined, so limit it first.
  if (!std::isfinite(overlap) || overlap < 0) overlap = 0;
  overlap = std::min(overlap, static_cast<double>(halfWindow));
  const std::int64_t overlapSamples = roundedDownToFrame(std::min(halfWindow, static_cast<std::int64_t>(overlap)));
  return roundedDownToFrame(std::max(chunkSamples - overlapSamples, kFrame));
}

std::vector<ChunkProcessor::ChunkStartDecision> ChunkProcessor::regularChunkStarts(std::int64_t strideSamples) const {
  assert(strideSamples >= 1);
  std::vector<ChunkStartDecision> decisions{{0, false, false}};
  for (std::int64_t start = strideSamples; start < totalSamples; start += strideSamples) {
    decisions.push_back({start, false, false});
  }
  return decisions;
}

std::int64_t ChunkProcessor::speechEndSamples() const {
  SampleReader reader(sampleSource, totalSamples);
  for (std::int64_t end = totalSamples; end >= 1; end -= kFrame) {
    const std::span<const float> block = reader.read(end - kFrame, end);
    const float rms = std::sqrt(sumOfSquares(block) / static_cast<float>(block.size()));
    if (rms >= kSpeechRms) return end;
  }
  return totalSamples;
}

std::vector<float> ChunkProcessor::frameEnergySums() const {
  if (totalSamples <= 0) return {};
  std::vector<float> energies(static_cast<std::size_t>((totalSamples + kFrame - 1) / kFrame), 0.0F);
  SampleReader reader(sampleSource, totalSamples);
  for (std::int64_t pieceStart = 0; pieceStart < totalSamples; pieceStart += kEnergyPieceFrames * kFrame) {
    const std::span<const float> piece = reader.read(pieceStart, pieceStart + kEnergyPieceFrames * kFrame);
    for (std::size_t offset = 0; offset < piece.size(); offset += kFrame) {
      const std::size_t length = std::min<std::size_t>(kFrame, piece.size() - offset);
      energies[static_cast<std::size_t>((pieceStart + static_cast<std::int64_t>(offset)) / kFrame)] =
          sumOfSquares(piece.subspan(offset, length));
    }
  }
  return energies;
}

std::optional<std::int64_t> ChunkProcessor::latestPauseCut(std::int64_t previousStart, std::int64_t chunkSamples,
                                                           const std::vector<float>& frameEnergySums) const {
  const std::int64_t end = previousStart + chunkSamples;
  const std::int64_t limit = std::min(totalSamples, end) - kFrame;
  const std::int64_t earliest = std::max(end - kLatePauseLookBack, previousStart + kFrame);
  if (earliest >= limit) return std::nullopt;

  const auto tableLength = static_cast<std::int64_t>(frameEnergySums.size());
  float loudest = 0;
  std::vector<PauseCandidate> kept;
  for (std::int64_t k = (previousStart + kFrame) / kFrame; k * kFrame <= limit && k < tableLength; ++k) {
    const auto index = static_cast<std::size_t>(k);
    const float energy = (frameEnergySums[index - 1] + frameEnergySums[index]) / static_cast<float>(2 * kFrame);
    if (energy > loudest) loudest = energy;
    if (k * kFrame >= earliest) kept.push_back({k * kFrame, energy});
  }
  if (loudest <= 0 || std::ssize(kept) < kLatePauseMinRun) return std::nullopt;

  const float thresholdRms = std::max(std::sqrt(loudest) * kLatePauseRelativeRms, kLatePauseFloorRms);
  return middleOfLatestQuietRun(kept, thresholdRms * thresholdRms);
}

bool ChunkProcessor::shouldUseWarmupPrefix(std::int64_t position) const {
  SampleReader reader(sampleSource, totalSamples);
  for (std::int64_t examined = 0; examined < kWarmupQuietSamples;) {
    const std::int64_t blockStart = position + examined;
    if (blockStart >= totalSamples) return true;
    const std::span<const float> block = reader.read(blockStart, blockStart + kWarmupBlockSamples);
    const float rms = std::sqrt(sumOfSquares(block) / static_cast<float>(block.size()));
    if (!(rms < kWarmupQuietRms)) return true;
    examined += std::ssize(block);
  }
  return false;
}

float ChunkProcessor::boundaryEnergyScore(std::int64_t centeredAt, std::int64_t halfWindowSamples) const {
  SampleReader reader(sampleSource, totalSamples);
  return reader.meanSquare(centeredAt - halfWindowSamples, centeredAt + halfWindowSamples);
}

std::vector<ChunkProcessor::ChunkStartDecision> ChunkProcessor::silenceAlignedChunkStarts(
    std::int64_t chunkSamples, std::int64_t strideSamples, bool canUseWarmupPrefix, bool preferLatePause) const {
  assert(strideSamples >= 1);
  std::vector<ChunkStartDecision> decisions{{0, false, false}};
  const std::vector<float> energies = preferLatePause ? frameEnergySums() : std::vector<float>{};
  if (totalSamples <= strideSamples) return decisions;

  StartSearch search(*this, chunkSamples, canUseWarmupPrefix);
  std::int64_t previousStart = 0;
  std::int64_t target = strideSamples;
  while (target < totalSamples) {
    if (preferLatePause) {
      if (const auto cut = latestPauseCut(previousStart, chunkSamples, energies)) {
        decisions.push_back({*cut, false, true});
        previousStart = *cut;
        target = *cut + strideSamples;
        continue;
      }
    }
    ChunkStartDecision decision = search.startNear(target, previousStart);
    if (decision.start <= previousStart) {
      decision.start = std::min(previousStart + strideSamples, totalSamples);
      decision.pauseCut = false;
    }
    decisions.push_back(decision);
    previousStart = decision.start;
    target += strideSamples;
  }
  return decisions;
}

ChunkProcessor::WindowPlan ChunkProcessor::planWindows(const std::vector<ChunkStartDecision>& decisions,
                                                       const ChunkLayout& layout, std::optional<std::int64_t> speechEnd,
                                                       bool preferLatePause) const {
  const std::int64_t speechEndOrTotal = speechEnd.value_or(totalSamples);
  const std::int64_t lastSpeech = std::min(totalSamples, speechEndOrTotal);
  const auto decisionCount = decisions.size();

  WindowPlan plan;
  ChunkStartDecision next = decisions.empty() ? ChunkStartDecision{} : decisions.front();
  if (next.start >= totalSamples) return plan;
  for (std::size_t i = 0;; ++i) {
    const std::int64_t start = next.start;
    std::int64_t warmup = i > 0 && next.useWarmupPrefix ? std::min(start, layout.warmupPrefixSamples) : 0;
    // Give the last window earlier audio as warm-up, so that it decodes about one whole window.
    if (speechEnd && start + std::max(layout.chunkSamples - warmup, kFrame) >= totalSamples && start >= 1 &&
        lastSpeech - start >= 1) {
      const std::int64_t back = roundedDownToFrame(layout.chunkSamples - (lastSpeech - start));
      if (back >= 1) warmup = std::max(warmup, std::min(back, roundedDownToFrame(start)));
    }
    const std::int64_t end = start + std::max(layout.chunkSamples - warmup, kFrame);
    const std::int64_t chunkEnd = std::min(end, totalSamples);
    if (start >= chunkEnd) break;
    const bool isLastChunk = end >= totalSamples;
    std::int64_t audioEnd = speechEnd && isLastChunk ? std::min(speechEndOrTotal, chunkEnd) : chunkEnd;
    if (preferLatePause && !isLastChunk && i + 1 < decisionCount && decisions[i + 1].pauseCut) {
      audioEnd = std::min(decisions[i + 1].start, audioEnd);
    }
    if (start >= audioEnd) break;
    const std::int64_t context = warmup > 0 ? 0 : (i > 0 ? layout.melContextSamples : 0);

    plan.windows.push_back(
        {static_cast<std::int64_t>(i), start, warmup, context, chunkEnd, audioEnd, isLastChunk});
    const std::int64_t decodeStart = warmup >= 1 ? start - std::max(warmup, context) : start;
    plan.frames.push_back({decodeStart / kFrame, audioEnd / kFrame});

    if (isLastChunk) break;
    next = i + 1 < decisionCount ? decisions[i + 1] : ChunkStartDecision{start + layout.strideSamples, false, false};
    if (next.start >= totalSamples) break;
  }
  return plan;
}

}  // namespace tesselaudio
