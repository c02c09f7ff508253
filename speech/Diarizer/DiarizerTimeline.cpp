#include "speech/Diarizer/DiarizerTimeline.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <set>
#include <utility>

#include "speech/Diarizer/DiarizerTimelineError.h"

namespace tesselaudio {
namespace {

constexpr float kNotAvailable = std::numeric_limits<float>::quiet_NaN();

// Position of `frame` relative to `cursor` in values of `width`, or none when it does not fit.
std::optional<std::int64_t> offsetInValues(std::int64_t frame, std::int64_t cursor,
                                           std::int64_t width) {
  std::int64_t frames;
  std::int64_t values;
  if (__builtin_sub_overflow(frame, cursor, &frames) ||
      __builtin_mul_overflow(frames, width, &values)) {
    return std::nullopt;
  }
  return values;
}

}  // namespace

DiarizerTimeline::DiarizerTimeline(DiarizerTimelineConfig config)
    : config_(std::move(config)),
      scratches_(static_cast<std::size_t>(std::max<std::int64_t>(config_.numSpeakers, 0))) {}

DiarizerTimeline::DiarizerTimeline(const std::vector<float>& finalizedPredictions,
                                   const std::vector<float>& tentativePredictions,
                                   DiarizerTimelineConfig config, bool isComplete)
    : DiarizerTimeline(std::move(config)) {
  rebuild(finalizedPredictions, tentativePredictions, false, isComplete);
}

DiarizerTimeline::DiarizerTimeline(const std::vector<float>& allPredictions,
                                   DiarizerTimelineConfig config, bool isComplete)
    : DiarizerTimeline(allPredictions, {}, std::move(config), isComplete) {}

DiarizerTimeline::DiarizerTimeline(const Snapshot& from, DiarizerTimelineConfig withConfig)
    : config_(std::move(withConfig)) {
  verifySnapshotSlots(from);
  finalizedPredictions_ = from.finalizedPredictions_;
  tentativePredictions_ = from.tentativePredictions_;
  finalizedCursorFrame_ = from.numFinalizedFrames_;
  scratches_ = from.scratches_;
  if (!config_.storeSegments) return;
  for (const auto& [slot, speaker] : from.speakers_) {
    speakers_[slot] = std::make_shared<DiarizerSpeaker>(speaker);
  }
}

DiarizerTimeline::DiarizerTimeline(const ConfiguredSnapshot& from)
    : DiarizerTimeline(from.snapshot, from.config) {}

std::vector<float> DiarizerTimeline::finalizedPredictions() const {
  std::scoped_lock lock(mutex_);
  return finalizedPredictions_;
}

std::vector<float> DiarizerTimeline::tentativePredictions() const {
  std::scoped_lock lock(mutex_);
  return tentativePredictions_;
}

std::int64_t DiarizerTimeline::numFinalizedFrames() const {
  std::scoped_lock lock(mutex_);
  return finalizedCursorFrame_;
}

std::int64_t DiarizerTimeline::numTentativeFrames() const {
  std::scoped_lock lock(mutex_);
  return framesIn(tentativePredictions_.size());
}

std::int64_t DiarizerTimeline::numFrames() const {
  std::scoped_lock lock(mutex_);
  return finalizedCursorFrame_ + framesIn(tentativePredictions_.size());
}

float DiarizerTimeline::finalizedDuration() const {
  return config_.frameDurationSeconds * static_cast<float>(numFinalizedFrames());
}

float DiarizerTimeline::tentativeDuration() const {
  return config_.frameDurationSeconds * static_cast<float>(numTentativeFrames());
}

float DiarizerTimeline::duration() const {
  return config_.frameDurationSeconds * static_cast<float>(numFrames());
}

DiarizerTimeline::SpeakerMap DiarizerTimeline::speakers() const {
  std::scoped_lock lock(mutex_);
  return speakers_;
}

bool DiarizerTimeline::hasSegments() const {
  std::scoped_lock lock(mutex_);
  for (const auto& [slot, speaker] : speakers_) {
    if (speaker->hasSegments()) return true;
  }
  return false;
}

DiarizerTimelineUpdate DiarizerTimeline::addPredictions(
    const std::vector<float>& finalizedPredictions,
    const std::vector<float>& tentativePredictions) {
  std::scoped_lock lock(mutex_);
  return addChunkUnlocked(DiarizerChunkResult(
      finalizedCursorFrame_, finalizedPredictions, framesIn(finalizedPredictions.size()),
      tentativePredictions, framesIn(tentativePredictions.size())));
}

DiarizerTimelineUpdate DiarizerTimeline::addChunk(const DiarizerChunkResult& chunk) {
  std::scoped_lock lock(mutex_);
  return addChunkUnlocked(chunk);
}

void DiarizerTimeline::finalize() {
  std::scoped_lock lock(mutex_);
  finalizeUnlocked();
}

void DiarizerTimeline::reset(bool keepingSpeakers) {
  std::scoped_lock lock(mutex_);
  resetUnlocked(keepingSpeakers);
}

void DiarizerTimeline::resetKeepingSpeakersWhere(
    const std::function<bool(const DiarizerSpeaker&)>& predicate) {
  std::scoped_lock lock(mutex_);
  // Asked before anything is cleared, so that a throwing predicate leaves the timeline whole.
  std::set<std::int64_t> kept;
  for (const auto& [slot, speaker] : speakers_) {
    if (predicate(*speaker)) kept.insert(slot);
  }
  std::erase_if(speakers_, [&](const auto& entry) { return !kept.contains(entry.first); });
  resetUnlocked(true);
}

DiarizerTimelineUpdate DiarizerTimeline::rebuild(const std::vector<float>& finalizedPredictions,
                                                 const std::vector<float>& tentativePredictions,
                                                 bool keepingSpeakers, bool isComplete) {
  std::scoped_lock lock(mutex_);
  verifyPredictionCounts(finalizedPredictions, tentativePredictions);
  resetUnlocked(keepingSpeakers);
  finalizedPredictions_ = finalizedPredictions;
  tentativePredictions_ = tentativePredictions;

  SegmentSink finalizedOut;
  SegmentSink tentativeOut;
  updateSegments(finalizedPredictions, true, false, finalizedOut, tentativeOut);
  finalizedCursorFrame_ = framesIn(finalizedPredictions.size());
  updateSegments(tentativePredictions, false, true, finalizedOut, tentativeOut);
  if (isComplete) {
    finalizeUnlocked();
  } else {
    trimPredictions();
  }
  return DiarizerTimelineUpdate{
      std::move(finalizedOut), std::move(tentativeOut),
      DiarizerChunkResult(0, finalizedPredictions, framesIn(finalizedPredictions.size()),
                          tentativePredictions, framesIn(tentativePredictions.size()))};
}

DiarizerTimeline::Snapshot DiarizerTimeline::takeSnapshot() const {
  std::scoped_lock lock(mutex_);
  Snapshot snapshot;
  for (const auto& [slot, speaker] : speakers_) {
    snapshot.speakers_.emplace(slot, speaker->takeSnapshot());
  }
  snapshot.finalizedPredictions_ = finalizedPredictions_;
  snapshot.tentativePredictions_ = tentativePredictions_;
  snapshot.numFinalizedFrames_ = finalizedCursorFrame_;
  snapshot.scratches_ = scratches_;
  return snapshot;
}

void DiarizerTimeline::rollback(const Snapshot& to, bool keepingSpeakers) {
  std::scoped_lock lock(mutex_);
  verifySnapshotSlots(to);
  finalizedPredictions_ = to.finalizedPredictions_;
  tentativePredictions_ = to.tentativePredictions_;
  finalizedCursorFrame_ = to.numFinalizedFrames_;
  scratches_ = to.scratches_;
  for (const auto& [slot, saved] : to.speakers_) {
    if (auto it = speakers_.find(slot); it != speakers_.end()) {
      it->second->rollback(saved, keepingSpeakers);
    }
  }
  if (!keepingSpeakers) {
    std::erase_if(speakers_, [&](const auto& entry) { return !to.speakers_.contains(entry.first); });
  }
}

std::shared_ptr<DiarizerSpeaker> DiarizerTimeline::upsertSpeaker(
    std::optional<std::string> named, std::optional<std::int64_t> atIndex) {
  std::scoped_lock lock(mutex_);
  const auto slot = chooseSlot(atIndex);
  if (!slot) return nullptr;
  if (auto it = speakers_.find(*slot); it != speakers_.end()) {
    it->second->rename(std::move(named));
    return it->second;
  }
  auto speaker = std::make_shared<DiarizerSpeaker>(platform::Uuid::random(), *slot, std::move(named));
  speakers_.emplace(*slot, speaker);
  return speaker;
}

std::shared_ptr<DiarizerSpeaker> DiarizerTimeline::upsertSpeaker(
    std::shared_ptr<DiarizerSpeaker> speaker, std::optional<std::int64_t> atIndex,
    bool transferCurrentSegment) {
  assert(speaker);
  std::scoped_lock lock(mutex_);
  const auto slot = chooseSlot(atIndex);
  if (!slot) return nullptr;
  SegmentScratch& scratch = scratches_[static_cast<std::size_t>(*slot)];
  if (!transferCurrentSegment) {
    scratch = SegmentScratch{};
  } else if (auto old = speakers_.find(*slot); scratch.speaking && old != speakers_.end()) {
    const std::int64_t runStart = scratch.startFrame;
    auto moved = old->second->popLast(
        [runStart](const DiarizerSegment& segment) { return segment.startFrame >= runStart; });
    if (moved) speaker->append(std::move(*moved));
  }
  speakers_[*slot] = speaker;
  speaker->reassign(*slot);
  return speaker;
}

std::shared_ptr<DiarizerSpeaker> DiarizerTimeline::removeSpeaker(std::int64_t atIndex,
                                                                 bool clearCurrentSegment) {
  std::scoped_lock lock(mutex_);
  if (atIndex < 0 || atIndex >= config_.numSpeakers) return nullptr;
  if (clearCurrentSegment) scratches_[static_cast<std::size_t>(atIndex)] = SegmentScratch{};
  auto node = speakers_.extract(atIndex);
  return node ? std::move(node.mapped()) : nullptr;
}

float DiarizerTimeline::probability(std::int64_t speaker, std::int64_t frame) const {
  std::scoped_lock lock(mutex_);
  const std::int64_t width = config_.numSpeakers;
  if (speaker < 0 || speaker >= width) return kNotAvailable;
  const auto stored = static_cast<std::int64_t>(finalizedPredictions_.size());
  const auto offset = offsetInValues(frame, finalizedCursorFrame_, width);
  if (!offset || *offset >= 0 || *offset < -stored) return kNotAvailable;
  return finalizedPredictions_[static_cast<std::size_t>(stored + *offset + speaker)];
}

float DiarizerTimeline::tentativeProbability(std::int64_t speaker, std::int64_t frame) const {
  std::scoped_lock lock(mutex_);
  const std::int64_t width = config_.numSpeakers;
  if (speaker < 0 || speaker >= width) return kNotAvailable;
  const auto offset = offsetInValues(frame, finalizedCursorFrame_, width);
  if (!offset || *offset < 0 ||
      *offset >= static_cast<std::int64_t>(tentativePredictions_.size())) {
    return kNotAvailable;
  }
  return tentativePredictions_[static_cast<std::size_t>(*offset + speaker)];
}

std::int64_t DiarizerTimeline::framesIn(std::size_t length) const {
  if (config_.numSpeakers <= 0) return 0;
  return static_cast<std::int64_t>(length) / config_.numSpeakers;
}

void DiarizerTimeline::verifyPredictionCounts(std::span<const float> finalized,
                                              std::span<const float> tentative) const {
  const std::int64_t width = config_.numSpeakers;
  const auto aligned = [width](std::size_t length) {
    return width > 0 ? static_cast<std::int64_t>(length) % width == 0 : length == 0;
  };
  if (!aligned(finalized.size())) {
    throw DiarizerTimelineError::misalignedFinalizedPredictions(
        static_cast<std::int64_t>(finalized.size()), width);
  }
  if (!aligned(tentative.size())) {
    throw DiarizerTimelineError::misalignedTentativePredictions(
        static_cast<std::int64_t>(tentative.size()), width);
  }
}

void DiarizerTimeline::verifySnapshotSlots(const Snapshot& snapshot) const {
  if (static_cast<std::int64_t>(snapshot.scratches_.size()) != config_.numSpeakers) {
    throw DiarizerTimelineError::mismatchedSnapshotSlots(
        static_cast<std::int64_t>(snapshot.scratches_.size()), config_.numSpeakers);
  }
}

std::optional<std::int64_t> DiarizerTimeline::chooseSlot(
    std::optional<std::int64_t> atIndex) const {
  if (atIndex) {
    if (*atIndex < 0 || *atIndex >= config_.numSpeakers) return std::nullopt;
    return atIndex;
  }
  for (std::int64_t slot = 0; slot < config_.numSpeakers; ++slot) {
    if (!speakers_.contains(slot)) return slot;
  }
  return std::nullopt;
}

DiarizerTimelineUpdate DiarizerTimeline::addChunkUnlocked(const DiarizerChunkResult& chunk) {
  verifyPredictionCounts(chunk.finalizedPredictions, chunk.tentativePredictions);
  if (config_.maxStoredFrames != 0) {
    finalizedPredictions_.insert(finalizedPredictions_.end(), chunk.finalizedPredictions.begin(),
                                 chunk.finalizedPredictions.end());
    trimPredictions();
  }
  tentativePredictions_ = chunk.tentativePredictions;
  for (const auto& [slot, speaker] : speakers_) speaker->clearTentative(true);

  SegmentSink finalizedOut;
  SegmentSink tentativeOut;
  updateSegments(chunk.finalizedPredictions, true, false, finalizedOut, tentativeOut);
  finalizedCursorFrame_ += chunk.finalizedFrameCount;
  updateSegments(chunk.tentativePredictions, false, true, finalizedOut, tentativeOut);
  return DiarizerTimelineUpdate{std::move(finalizedOut), std::move(tentativeOut), chunk};
}

void DiarizerTimeline::finalizeUnlocked() {
  finalizedPredictions_.insert(finalizedPredictions_.end(), tentativePredictions_.begin(),
                               tentativePredictions_.end());
  finalizedCursorFrame_ += framesIn(tentativePredictions_.size());
  tentativePredictions_.clear();
  for (const auto& [slot, speaker] : speakers_) speaker->finalize();
  trimPredictions();
}

void DiarizerTimeline::resetUnlocked(bool keepingSpeakers) {
  finalizedPredictions_.clear();
  tentativePredictions_.clear();
  finalizedCursorFrame_ = 0;
  scratches_.assign(scratches_.size(), SegmentScratch{});
  if (keepingSpeakers) {
    for (const auto& [slot, speaker] : speakers_) speaker->reset();
  } else {
    speakers_.clear();
  }
}

void DiarizerTimeline::updateSegments(std::span<const float> predictions, bool isFinalized,
                                      bool addTrailingTentative, SegmentSink& finalizedOut,
                                      SegmentSink& tentativeOut) {
  if (predictions.empty() && !addTrailingTentative) return;
  const std::int64_t width = config_.numSpeakers;
  const std::int64_t frameCount = framesIn(predictions.size());
  const std::int64_t base = finalizedCursorFrame_;
  const std::int64_t chunkEnd = base + frameCount;
  const std::int64_t onsetPad = config_.onsetPadFrames;
  const std::int64_t offsetPad = config_.offsetPadFrames;
  const std::int64_t minFramesOff = config_.minFramesOff;
  const std::int64_t paddedMinimum = onsetPad + offsetPad + config_.minFramesOn;
  const std::int64_t horizon = chunkEnd - minFramesOff - onsetPad - offsetPad;
  const std::int64_t trailingEnd = chunkEnd + offsetPad;
  const float onsetThreshold = config_.onsetThreshold;
  const float offsetThreshold = config_.offsetThreshold;
  const DiarizerActivityEvaluation score = evaluationFunction(config_.activityType);
  SegmentSink& out = isFinalized ? finalizedOut : tentativeOut;

  for (std::int64_t slot = 0; slot < width; ++slot) {
    SegmentScratch s = scratches_[static_cast<std::size_t>(slot)];
    for (std::int64_t k = 0; k < frameCount; ++k) {
      const std::int64_t frame = base + k;
      const float p = predictions[static_cast<std::size_t>(k * width + slot)];
      if (s.speaking) {
        if (p >= offsetThreshold) {
          s.unmergedActiveFrameCount += 1;
          s.unmergedActivitySum += score(p);
          continue;
        }
        // The run ends here (NaN included); this frame is not part of it.
        s.speaking = false;
        const std::int64_t end = frame + offsetPad;
        if (end >= s.unmergedStartFrame + paddedMinimum) {
          s.activeFrameCount += s.unmergedActiveFrameCount;
          s.activitySum += s.unmergedActivitySum;
          s.endFrame = end;
          s.hasSegment = true;
        } else {
          // Too short: a segment that was waiting before the run is waiting again.
          s.hasSegment = s.endFrame >= s.startFrame + paddedMinimum;
        }
      } else if (p > onsetThreshold) {
        const std::int64_t start = frame - onsetPad;
        if (s.hasSegment && s.endFrame + minFramesOff < start) {
          emitSegment(slot, s.startFrame, s.endFrame, s.activitySum, s.activeFrameCount,
                      isFinalized, out);
          s.activitySum = 0.0f;
          s.activeFrameCount = 0;
          s.startFrame = start;
        } else if (!s.hasSegment) {
          s.startFrame = start;
        }
        s.hasSegment = false;
        s.speaking = true;
        s.unmergedStartFrame = start;
        s.unmergedActivitySum = score(p);
        s.unmergedActiveFrameCount = 1;
      }
    }

    if (isFinalized) {
      if (s.hasSegment && s.endFrame < horizon) {
        emitSegment(slot, s.startFrame, s.endFrame, s.activitySum, s.activeFrameCount, true, out);
        s.activitySum = 0.0f;
        s.activeFrameCount = 0;
        s.hasSegment = false;
      }
      scratches_[static_cast<std::size_t>(slot)] = s;
      continue;
    }
    // The tentative pass leaves the builder at the finalized boundary.
    if (s.hasSegment) {
      emitSegment(slot, s.startFrame, s.endFrame, s.activitySum, s.activeFrameCount, false, out);
    }
    if (s.speaking && addTrailingTentative && trailingEnd >= s.startFrame + paddedMinimum) {
      if (trailingEnd >= s.unmergedStartFrame + paddedMinimum) {
        emitSegment(slot, s.startFrame, trailingEnd, s.activitySum + s.unmergedActivitySum,
                    s.activeFrameCount + s.unmergedActiveFrameCount, false, tentativeOut);
      } else {
        emitSegment(slot, s.startFrame, s.endFrame, s.activitySum, s.activeFrameCount, false,
                    tentativeOut);
      }
    }
  }
}

void DiarizerTimeline::emitSegment(std::int64_t slot, std::int64_t startFrame,
                                   std::int64_t endFrame, float activitySum,
                                   std::int64_t activeFrameCount, bool finalized,
                                   SegmentSink& out) {
  const float activity =
      activeFrameCount >= 1 ? activitySum / static_cast<float>(activeFrameCount) : 0.0f;
  DiarizerSegment segment(slot, startFrame, endFrame, finalized, config_.frameDurationSeconds,
                          activity);
  if (config_.storeSegments) {
    auto it = speakers_.find(slot);
    if (it == speakers_.end()) {
      it = speakers_.emplace(slot, std::make_shared<DiarizerSpeaker>(platform::Uuid::random(), slot))
               .first;
    }
    DiarizerSpeaker& speaker = *it->second;
    if (finalized) {
      speaker.appendFinalized(segment);
    } else {
      speaker.appendTentative(segment);
    }
  }
  out.push_back(std::move(segment));
}

void DiarizerTimeline::trimPredictions() {
  if (!config_.maxStoredFrames) return;
  const std::int64_t keptFrames = std::max<std::int64_t>(*config_.maxStoredFrames, 0);
  const std::int64_t storedFrames = framesIn(finalizedPredictions_.size());
  if (storedFrames <= keptFrames) return;
  const auto excess = static_cast<std::ptrdiff_t>((storedFrames - keptFrames) * config_.numSpeakers);
  finalizedPredictions_.erase(finalizedPredictions_.begin(), finalizedPredictions_.begin() + excess);
}

}  // namespace tesselaudio
