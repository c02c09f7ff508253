// Streaming windows of AsrManager: decoding a window that overlaps tokens the caller has already
// accepted, and removing what the window repeats of them.

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "speech/ASR/Parakeet/ASRError.h"
#include "speech/ASR/Parakeet/AsrManager.h"
#include "speech/ASR/Parakeet/TokenDeduplication/SequenceMatcher.h"
#include "speech/Shared/ASRConstants.h"

namespace tesselaudio {
namespace {

constexpr int64_t kWindowSamples = ASRConstants::maxModelSamples;
// The decoder starts emitting this many frames before the seam, so a word it re-hears is whole.
constexpr int64_t kEmissionMarginFrames = 5;
constexpr int64_t kFloorOverlapToleranceFrames = 10;
constexpr int64_t kSeamJitterFrames = 5;
constexpr int64_t kSeamFrameTolerance = 10;
constexpr int64_t kMaxOverlapTokens = 12;
constexpr int64_t kMaxSearchTokens = 15;
constexpr int64_t kSeamMatchToleranceFrames = 10;
constexpr int64_t kMatchToleranceFrames = 25;

struct TimedToken {
  int64_t id = 0;
  int64_t timestamp = -1;  // global frame; -1 when unknown
};

std::vector<TimedToken> timed(const std::vector<int64_t>& ids, const std::optional<std::vector<int64_t>>& timestamps) {
  const bool paired = timestamps && timestamps->size() == ids.size();
  std::vector<TimedToken> out;
  out.reserve(ids.size());
  for (size_t i = 0; i < ids.size(); ++i) out.push_back({ids[i], paired ? (*timestamps)[i] : -1});
  return out;
}

std::vector<std::string> piecesOf(const std::map<int, std::string>& vocabulary, const std::vector<int64_t>& ids) {
  std::vector<std::string> pieces;
  pieces.reserve(ids.size());
  for (const int64_t id : ids) {
    const bool fits = id >= std::numeric_limits<int>::min() && id <= std::numeric_limits<int>::max();
    const auto found = fits ? vocabulary.find(static_cast<int>(id)) : vocabulary.end();
    pieces.push_back(found == vocabulary.end() ? std::string() : found->second);
  }
  return pieces;
}

template <typename T>
void dropLeading(std::vector<T>& list, int64_t count) {
  list.erase(list.begin(), list.begin() + std::min<int64_t>(count, static_cast<int64_t>(list.size())));
}

template <typename T>
std::vector<T> leading(const std::vector<T>& list, int64_t count) {
  return {list.begin(), list.begin() + std::min<int64_t>(count, static_cast<int64_t>(list.size()))};
}

std::vector<int64_t> shifted(const std::vector<int64_t>& frames, int64_t offset) {
  std::vector<int64_t> out(frames);
  for (int64_t& frame : out) frame += offset;
  return out;
}

// Where the window meets what the caller has accepted.
struct SeamContext {
  int64_t index = 0;
  int64_t frame = 0;
  bool wordStart = false;
};

std::optional<SeamContext> seamContextOf(const std::vector<std::string>& previousPieces,
                                         const std::vector<int64_t>& previousTokens,
                                         const std::optional<std::vector<int64_t>>& previousTokenTimestamps,
                                         int64_t stableTokenFloor) {
  if (previousTokens.empty() || !previousTokenTimestamps) return std::nullopt;
  const std::vector<int64_t>& timestamps = *previousTokenTimestamps;
  if (timestamps.size() == previousTokens.size()) {
    if (const auto start = AsrManager::trailingWordStartIndex(previousPieces)) {
      const int64_t index = std::max(*start, stableTokenFloor);
      if (index < static_cast<int64_t>(previousTokens.size())) {
        return SeamContext{index, timestamps[static_cast<size_t>(index)], true};
      }
    }
  }
  const int64_t largest = timestamps.empty() ? 0 : *std::max_element(timestamps.begin(), timestamps.end());
  return SeamContext{0, largest, false};
}

// The window's tokens as they go through the seam handling; timestamps are window frames.
struct WindowTokens {
  std::vector<int64_t> tokens;
  std::vector<int64_t> timestamps;
  std::vector<float> confidences;

  void dropLeadingTokens(int64_t count) {
    dropLeading(tokens, count);
    dropLeading(timestamps, count);
    dropLeading(confidences, count);
  }
};

// Removes the first M tokens when they decode again the accepted tokens between the trailing word
// start and a seam that the stable floor pushed past it.
void dropFloorOverlap(WindowTokens& window, const std::vector<int64_t>& currentFrames,
                      const std::vector<std::string>& previousPieces, const std::vector<int64_t>& previousTokens,
                      const std::vector<int64_t>& previousTimestamps, int64_t seamIndex) {
  const int64_t start = AsrManager::trailingWordStartIndex(previousPieces).value_or(seamIndex);
  const int64_t m = seamIndex - start;
  if (start >= seamIndex || previousTimestamps.size() != previousTokens.size() ||
      currentFrames.size() != window.tokens.size() || static_cast<int64_t>(currentFrames.size()) < m) {
    return;
  }
  for (int64_t i = 0; i < m; ++i) {
    const auto p = static_cast<size_t>(start + i);
    const auto c = static_cast<size_t>(i);
    if (window.tokens[c] != previousTokens[p] ||
        std::llabs(currentFrames[c] - previousTimestamps[p]) > kFloorOverlapToleranceFrames) {
      return;
    }
  }
  window.dropLeadingTokens(m);
}

}  // namespace

AsrManager::StreamingWindowResult AsrManager::transcribeChunk(
    std::span<const float> samples, TdtDecoderState& decoderState, const std::vector<int64_t>& previousTokens,
    const std::optional<std::vector<int64_t>>& previousTokenTimestamps, int64_t globalFrameOffset, bool isLastChunk,
    std::optional<Language> language, int64_t stableTokenFloor, std::stop_token stop) const {
  if (static_cast<int64_t>(samples.size()) > kWindowSamples) {
    throw ASRError::processingFailed(
        fmt::format("Window of {} samples exceeds {} samples", samples.size(), kWindowSamples));
  }
  auto [window, originalLength] = frameAlignedAudio({samples.begin(), samples.end()}, previousTokens.empty());
  if (static_cast<int64_t>(window.size()) < kWindowSamples) window.resize(static_cast<size_t>(kWindowSamples), 0.0f);

  const std::map<int, std::string> vocabulary = this->vocabulary();
  const std::vector<std::string> previousPieces = piecesOf(vocabulary, previousTokens);
  const std::optional<SeamContext> seam =
      seamContextOf(previousPieces, previousTokens, previousTokenTimestamps, stableTokenFloor);
  std::optional<int64_t> emitTokensAfterGlobalFrame;
  std::optional<int64_t> initialTimeIndexOverride;
  if (seam) {
    emitTokensAfterGlobalFrame = std::max<int64_t>(0, seam->frame - globalFrameOffset - kEmissionMarginFrames);
    initialTimeIndexOverride = 0;
    decoderState = TdtDecoderState(decoderLayerCount());
  }

  InferenceResult inference =
      executeMLInferenceWithTimings(window, originalLength, std::nullopt, decoderState, 0, isLastChunk, 0, language,
                                    emitTokensAfterGlobalFrame, initialTimeIndexOverride, stop);
  TdtHypothesis& hypothesis = inference.hypothesis;
  WindowTokens current{std::move(hypothesis.ySequence), std::move(hypothesis.timestamps),
                       std::move(hypothesis.tokenConfidences)};

  std::vector<int64_t> previousSide = previousTokens;
  std::optional<std::vector<int64_t>> previousSideTimestamps = previousTokenTimestamps;
  int64_t droppedPrevious = 0;
  if (seam && seam->wordStart) {
    const std::vector<int64_t>& previousTimestamps = *previousTokenTimestamps;
    dropFloorOverlap(current, shifted(current.timestamps, globalFrameOffset), previousPieces, previousTokens,
                     previousTimestamps, seam->index);
    const auto reconciliation = reconcileFinalWindowSeam(
        previousTokens, previousTimestamps, seam->index, current.tokens, shifted(current.timestamps, globalFrameOffset),
        piecesOf(vocabulary, current.tokens), previousPieces, piecesOf(vocabulary, hypothesis.suppressedTokens),
        shifted(hypothesis.suppressedTimestamps, globalFrameOffset), kSeamJitterFrames, kSeamFrameTolerance);
    if (reconciliation.droppedCurrent > 0) current.dropLeadingTokens(reconciliation.droppedCurrent);
    if (reconciliation.droppedPrevious > 0 || reconciliation.droppedCurrent > 0) {
      logger_.debug(fmt::format("Window seam: dropped {} trailing previous token(s), {} leading current token(s)",
                                reconciliation.droppedPrevious, reconciliation.droppedCurrent));
    }
    previousSide = leading(previousTokens, seam->index);
    previousSideTimestamps = leading(previousTimestamps, seam->index);
    droppedPrevious = reconciliation.droppedPrevious;
  }

  std::optional<std::vector<int64_t>> currentFrames;
  if (previousSideTimestamps) currentFrames = shifted(current.timestamps, globalFrameOffset);
  Deduplication deduplication = removeDuplicateTokenSequence(
      previousSide, current.tokens, kMaxOverlapTokens, previousSideTimestamps, currentFrames,
      seam ? kSeamMatchToleranceFrames : kMatchToleranceFrames, punctuationTokenIds());
  if (deduplication.removedCount >= 1) {
    dropLeading(current.timestamps, deduplication.removedCount);
    dropLeading(current.confidences, deduplication.removedCount);
  }
  return {std::move(deduplication.deduped), std::move(current.timestamps), std::move(current.confidences),
          inference.encoderSequenceLength, droppedPrevious};
}

int64_t AsrManager::stableStreamingTokenCount(const std::vector<int64_t>& tokens) const {
  return trailingWordStartIndex(piecesOf(vocabulary(), tokens)).value_or(0);
}

AsrManager::Deduplication AsrManager::removeDuplicateTokenSequence(
    const std::vector<int64_t>& previous, const std::vector<int64_t>& current, int64_t maxOverlap,
    const std::optional<std::vector<int64_t>>& previousTimestamps,
    const std::optional<std::vector<int64_t>>& currentTimestamps, int64_t frameTolerance,
    const std::optional<std::set<int>>& punctuationTokens) const {
  if (previous.empty() || current.empty()) return {current, 0};

  std::vector<int64_t> deduped = current;
  std::optional<std::vector<int64_t>> dedupedTimestamps = currentTimestamps;
  int64_t removedCount = 0;
  const int64_t repeated = current.front();
  if (previous.back() == repeated && punctuationTokens && repeated >= std::numeric_limits<int>::min() &&
      repeated <= std::numeric_limits<int>::max() && punctuationTokens->contains(static_cast<int>(repeated))) {
    deduped.erase(deduped.begin());
    if (dedupedTimestamps && !dedupedTimestamps->empty()) dedupedTimestamps->erase(dedupedTimestamps->begin());
    removedCount = 1;
  }

  const std::vector<TimedToken> previousTimed = timed(previous, previousTimestamps);
  const std::vector<TimedToken> currentTimed = timed(deduped, dedupedTimestamps);
  const auto sameToken = [frameTolerance](const TimedToken& a, const TimedToken& b) {
    return a.id == b.id &&
           (a.timestamp < 0 || b.timestamp < 0 || std::llabs(a.timestamp - b.timestamp) <= frameTolerance);
  };

  if (const auto overlap = SequenceMatcher::findSuffixPrefixMatch(previousTimed, currentTimed, maxOverlap, sameToken)) {
    logger_.debug(fmt::format("Found exact suffix-prefix overlap of length {}", overlap->length));
    dropLeading(deduped, overlap->length);
    return {std::move(deduped), removedCount + overlap->length};
  }
  const int64_t boundarySearchFrames = config_.tdtConfig.boundarySearchFrames;
  const int64_t maxSearchLength = std::min<int64_t>(static_cast<int64_t>(previous.size()), kMaxSearchTokens);
  if (const auto run = SequenceMatcher::findBoundedSubstringMatch(previousTimed, currentTimed, maxSearchLength,
                                                                  boundarySearchFrames, sameToken)) {
    logger_.debug(fmt::format("Found duplicate sequence length={} at currStart={} (boundarySearch={})", run->length,
                              run->rightStartIndex, boundarySearchFrames));
    const int64_t through = run->rightStartIndex + run->length;
    dropLeading(deduped, through);
    return {std::move(deduped), removedCount + through};
  }
  return {std::move(deduped), removedCount};
}

}  // namespace tesselaudio
