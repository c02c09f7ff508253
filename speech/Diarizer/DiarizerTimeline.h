#pragma once

#include <concepts>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "speech/Diarizer/DiarizerChunkResult.h"
#include "speech/Diarizer/DiarizerSpeaker.h"
#include "speech/Diarizer/DiarizerTimelineConfig.h"
#include "speech/Diarizer/DiarizerTimelineUpdate.h"

namespace tesselaudio {

// Turns the per-frame speaker probabilities of a frame-based diarizer into per-speaker segments.
// Every chunk brings a finalized part, which the model will not revise, and a tentative tail that
// the next chunk predicts again: finalized segments accumulate in the speakers, tentative ones are
// rebuilt on every chunk, so readers always see the whole conversation up to its last frame.
//
// Shared (held by std::shared_ptr) and safe from any thread: every public operation holds the
// timeline's lock for its whole body, so a reader sees the state before or after an intake. The
// lock order is the timeline's lock, then one speaker's lock at a time.
//
//   auto timeline = std::make_shared<DiarizerTimeline>(DiarizerTimelineConfig::sortformerDefault());
//   DiarizerTimelineUpdate update = timeline->addPredictions(finalized, tentative);
//   for (const auto& [slot, speaker] : timeline->speakers()) use(speaker->finalizedSegments());
//   timeline->finalize();  // end of session: the tail becomes final
//
// Frames are absolute, counted from 0 at creation or the last reset; probability arrays are flat
// and frame-major (slot s of frame f at f × numSpeakers + s).
class DiarizerTimeline {
 private:
  // One slot's segment builder at the finalized boundary: an open run, or a closed segment that a
  // run starting within minFramesOff frames of its end may still extend. Never both at once.
  struct SegmentScratch {
    static constexpr std::int64_t kUnset = std::numeric_limits<std::int64_t>::min();

    bool speaking = false;
    bool hasSegment = false;
    std::int64_t startFrame = kUnset;
    std::int64_t endFrame = kUnset;
    float activitySum = 0.0f;
    std::int64_t activeFrameCount = 0;
    std::int64_t unmergedStartFrame = kUnset;
    float unmergedActivitySum = 0.0f;
    std::int64_t unmergedActiveFrameCount = 0;
  };

 public:
  // The timeline's whole state at one moment; only takeSnapshot() makes one. The slots' builder
  // states travel with it but cannot be read.
  class Snapshot {
   public:
    const std::map<std::int64_t, DiarizerSpeaker::Snapshot>& speakers() const { return speakers_; }
    const std::vector<float>& finalizedPredictions() const { return finalizedPredictions_; }
    const std::vector<float>& tentativePredictions() const { return tentativePredictions_; }
    std::int64_t numFinalizedFrames() const { return numFinalizedFrames_; }

   private:
    friend class DiarizerTimeline;
    Snapshot() = default;

    std::map<std::int64_t, DiarizerSpeaker::Snapshot> speakers_;
    std::vector<float> finalizedPredictions_;
    std::vector<float> tentativePredictions_;
    std::int64_t numFinalizedFrames_ = 0;
    std::vector<SegmentScratch> scratches_;
  };

  // A snapshot with the configuration it was taken under.
  struct ConfiguredSnapshot {
    DiarizerTimelineConfig config;
    Snapshot snapshot;
  };

  using SpeakerMap = std::map<std::int64_t, std::shared_ptr<DiarizerSpeaker>>;

  // An empty timeline: no speakers, cursor 0. REQUIRES: config.numSpeakers ≥ 1, non-negative pad,
  // minimum and cap values.
  explicit DiarizerTimeline(DiarizerTimelineConfig config);
  // A timeline rebuilt from whole arrays (see rebuild(), not keeping speakers).
  // Throws DiarizerTimelineError when an array does not divide into whole frames.
  DiarizerTimeline(const std::vector<float>& finalizedPredictions,
                   const std::vector<float>& tentativePredictions, DiarizerTimelineConfig config,
                   bool isComplete);
  DiarizerTimeline(const std::vector<float>& allPredictions, DiarizerTimelineConfig config,
                   bool isComplete);
  // A timeline in the snapshot's state under `withConfig`. With storeSegments the snapshot's
  // speakers come back as new objects (fresh ids) at their slots; without, there are none.
  // Throws DiarizerTimelineError (mismatchedSnapshotSlots) when the snapshot was taken with another
  // number of slots.
  DiarizerTimeline(const Snapshot& from, DiarizerTimelineConfig withConfig);
  explicit DiarizerTimeline(const ConfiguredSnapshot& from);

  DiarizerTimeline(const DiarizerTimeline&) = delete;
  DiarizerTimeline& operator=(const DiarizerTimeline&) = delete;

  const DiarizerTimelineConfig& config() const { return config_; }
  // config().numSpeakers.
  std::int64_t speakerCapacity() const { return config_.numSpeakers; }

  // Copies of the stored finalized probabilities (the most recent frames, at most
  // maxStoredFrames of them) and of the tentative tail.
  std::vector<float> finalizedPredictions() const;
  std::vector<float> tentativePredictions() const;
  // Every finalized frame since creation or reset, trimmed ones included.
  std::int64_t numFinalizedFrames() const;
  std::int64_t numTentativeFrames() const;
  std::int64_t numFrames() const;
  float finalizedDuration() const;
  float tentativeDuration() const;
  float duration() const;
  // The speakers by slot; the objects are shared, not copied.
  SpeakerMap speakers() const;
  // True when some speaker holds a segment.
  bool hasSegments() const;

  // Adds one chunk whose frames follow the finalized ones so far. Returns the segments it
  // finalized and the current tentative ones. Throws DiarizerTimelineError when an array's length
  // is not a multiple of numSpeakers; nothing changes then.
  DiarizerTimelineUpdate addPredictions(const std::vector<float>& finalizedPredictions,
                                        const std::vector<float>& tentativePredictions);
  // The same for a chunk built by the caller. Its frames are placed at the timeline's own cursor;
  // startFrame is only carried into the update.
  // REQUIRES: chunk.finalizedFrameCount × numSpeakers equals the finalized array's length.
  DiarizerTimelineUpdate addChunk(const DiarizerChunkResult& chunk);
  // Promotes the tentative tail to finalized: its probabilities, and every speaker's tentative
  // segments (which keep isFinalized false). The segment builders stay at the last chunk's
  // finalized boundary.
  void finalize();

  // Back to the empty state. With `keepingSpeakers` the speaker objects stay, emptied of segments.
  void reset(bool keepingSpeakers);
  // Back to the empty state, keeping (emptied) exactly the speakers `keepingSpeakersWhere`
  // accepts. The predicate runs under the timeline's lock and must not call the timeline; if it
  // throws, nothing changes.
  template <class Predicate>
    requires std::predicate<Predicate&, const DiarizerSpeaker&>
  void reset(Predicate&& keepingSpeakersWhere) {
    resetKeepingSpeakersWhere(
        [&](const DiarizerSpeaker& speaker) -> bool { return keepingSpeakersWhere(speaker); });
  }

  // Re-derives the whole timeline from two arrays, frame 0 first: reset (keeping the speaker
  // objects when asked), a finalized pass, a tentative pass, then with `isComplete` the
  // finalization, else the storage cap. The update's chunk starts at frame 0; its tentative
  // segments keep isFinalized false even when `isComplete` moved them to the finalized lists.
  // Throws DiarizerTimelineError before changing anything when an array is misaligned.
  DiarizerTimelineUpdate rebuild(const std::vector<float>& finalizedPredictions,
                                 const std::vector<float>& tentativePredictions,
                                 bool keepingSpeakers, bool isComplete);

  // Copies of every speaker's state, both arrays, the cursor and the builders.
  Snapshot takeSnapshot() const;
  // Restores arrays, cursor and builders. Speakers present now and in the snapshot take back
  // their slot and lists (and their name unless `keepingSpeakers`); snapshot speakers that are
  // gone are not recreated; without `keepingSpeakers`, speakers the snapshot lacks are removed.
  // Throws DiarizerTimelineError (mismatchedSnapshotSlots), changing nothing, for a snapshot
  // taken with another number of slots.
  void rollback(const Snapshot& to, bool keepingSpeakers);

  // At slot `atIndex`, or without it at the lowest free slot: renames the speaker there (an absent
  // name clears it) or registers a new one. Returns it, or null when the slot is outside
  // 0 … numSpeakers − 1 or no slot is free.
  std::shared_ptr<DiarizerSpeaker> upsertSpeaker(std::optional<std::string> named,
                                                 std::optional<std::int64_t> atIndex);
  // Places `speaker` at slot `atIndex` (or the lowest free slot), replacing the speaker there and
  // setting its index. With `transferCurrentSegment`, when the slot is inside a speech run, the
  // old speaker's last segment moves to `speaker` if it starts at or after the run's segment, and
  // the run continues into `speaker`; without it, the slot's run and waiting segment are dropped.
  // Returns `speaker`, or null (nothing changed) for a slot out of range or none free.
  // REQUIRES: speaker is not null.
  std::shared_ptr<DiarizerSpeaker> upsertSpeaker(std::shared_ptr<DiarizerSpeaker> speaker,
                                                 std::optional<std::int64_t> atIndex,
                                                 bool transferCurrentSegment);
  // Removes and returns the speaker at `atIndex` (null when there is none). With
  // `clearCurrentSegment` the slot's run and waiting segment are dropped, speaker or not. A slot
  // outside 0 … numSpeakers − 1 gives null and changes nothing.
  std::shared_ptr<DiarizerSpeaker> removeSpeaker(std::int64_t atIndex, bool clearCurrentSegment);

  // The stored finalized value of `speaker` at absolute `frame`; NaN for frames trimmed away,
  // tentative or in the future, and for a slot outside 0 … numSpeakers − 1.
  float probability(std::int64_t speaker, std::int64_t frame) const;
  // The tentative value of `speaker` at absolute `frame`; NaN outside the tentative tail.
  float tentativeProbability(std::int64_t speaker, std::int64_t frame) const;

 private:
  using SegmentSink = std::vector<DiarizerSegment>;

  std::int64_t framesIn(std::size_t length) const;
  void verifyPredictionCounts(std::span<const float> finalized,
                              std::span<const float> tentative) const;
  void verifySnapshotSlots(const Snapshot& snapshot) const;
  std::optional<std::int64_t> chooseSlot(std::optional<std::int64_t> atIndex) const;
  void resetKeepingSpeakersWhere(const std::function<bool(const DiarizerSpeaker&)>& predicate);

  // Bodies of the public operations; mutex_ held.
  DiarizerTimelineUpdate addChunkUnlocked(const DiarizerChunkResult& chunk);
  void finalizeUnlocked();
  void resetUnlocked(bool keepingSpeakers);
  void updateSegments(std::span<const float> predictions, bool isFinalized,
                      bool addTrailingTentative, SegmentSink& finalizedOut,
                      SegmentSink& tentativeOut);
  void emitSegment(std::int64_t slot, std::int64_t startFrame, std::int64_t endFrame,
                   float activitySum, std::int64_t activeFrameCount, bool finalized,
                   SegmentSink& out);
  void trimPredictions();

  // Constant after construction.
  const DiarizerTimelineConfig config_;

  // Guarded by mutex_.
  mutable std::mutex mutex_;
  SpeakerMap speakers_;
  std::vector<float> finalizedPredictions_;
  std::vector<float> tentativePredictions_;
  std::int64_t finalizedCursorFrame_ = 0;
  std::vector<SegmentScratch> scratches_;
};

}  // namespace tesselaudio
