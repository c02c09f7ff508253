#pragma once

#include <concepts>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/sys/Uuid.h"
#include "speech/Diarizer/DiarizerSegment.h"

namespace tesselaudio {

// One speaker slot of a diarizer timeline, with its finalized and tentative segment lists. Shared
// (held by std::shared_ptr): the timeline hands out the objects it keeps. Safe from any thread;
// every operation that reads or changes the lists holds the speaker's own lock, which is never
// held while a timeline's lock is requested.
class DiarizerSpeaker {
 public:
  // A speaker's name, slot and lists at one moment. A plain value.
  struct Snapshot {
    std::optional<std::string> name;
    std::int64_t index = 0;
    std::vector<DiarizerSegment> finalizedSegments;
    std::vector<DiarizerSegment> tentativeSegments;

    bool operator==(const Snapshot&) const = default;
  };

  // A speaker with both lists empty.
  DiarizerSpeaker(platform::Uuid id, std::int64_t index,
                  std::optional<std::string> name = std::nullopt);
  // A speaker with a fresh random id and the snapshot's name, index and lists.
  explicit DiarizerSpeaker(const Snapshot& from);

  DiarizerSpeaker(const DiarizerSpeaker&) = delete;
  DiarizerSpeaker& operator=(const DiarizerSpeaker&) = delete;

  const platform::Uuid& id() const { return id_; }

  // Display name given by enrolment or by the caller. These accessors do not take the lists'
  // lock, so a popLast() predicate may read them.
  std::optional<std::string> name() const;
  void setName(std::optional<std::string> name);
  // The slot this speaker occupies in its timeline.
  std::int64_t index() const;
  void setIndex(std::int64_t index);

  // Copies of the lists; the setters replace a list.
  std::vector<DiarizerSegment> finalizedSegments() const;
  void setFinalizedSegments(std::vector<DiarizerSegment> segments);
  std::vector<DiarizerSegment> tentativeSegments() const;
  void setTentativeSegments(std::vector<DiarizerSegment> segments);

  // The name when present, else "Speaker " and the slot in decimal.
  std::string description() const;
  bool hasSegments() const;
  std::int64_t segmentCount() const;
  std::int64_t finalizedSegmentCount() const;
  std::int64_t tentativeSegmentCount() const;
  // The last tentative segment, else the last finalized one, else none.
  std::optional<DiarizerSegment> lastSegment() const;
  // Sums of segment durations in seconds (finalized list first).
  float speechDuration() const;
  float finalizedSpeechDuration() const;
  float tentativeSpeechDuration() const;
  // Sums of segment lengths in frames.
  std::int64_t numSpeechFrames() const;
  std::int64_t numFinalizedSpeechFrames() const;
  std::int64_t numTentativeSpeechFrames() const;

  // Set the name or the slot together with the lists' lock. Reassigning leaves the segments'
  // speakerIndex as it is.
  void rename(std::optional<std::string> to);
  void reassign(std::int64_t toSlot);

  // Moves the tentative segments, unchanged (isFinalized stays false), to the end of the finalized
  // list.
  void finalize();
  // Empties both lists.
  void reset();
  // Takes the snapshot's index and lists, and its name unless `keepingName`.
  void rollback(const Snapshot& to, bool keepingName);
  Snapshot takeSnapshot() const;

  // Empties the tentative list; with `keepingCapacity` its storage stays for reuse.
  void clearTentative(bool keepingCapacity);
  void appendTentative(DiarizerSegment segment);
  void appendFinalized(DiarizerSegment segment);
  // To the finalized list when the segment is finalized, else to the tentative list.
  void append(DiarizerSegment segment);

  // Remove and return the last segment of one list; none when it is empty.
  std::optional<DiarizerSegment> popLastTentative();
  std::optional<DiarizerSegment> popLastFinalized();
  std::optional<DiarizerSegment> popLast(bool fromFinalized);
  // Removes and returns the last tentative segment, else the last finalized one.
  std::optional<DiarizerSegment> popLast();
  // Offers only the candidate popLast() would take to `if_`; removes and returns it when the
  // predicate accepts it, else returns none. A predicate that throws removes nothing, and its
  // error reaches the caller. The predicate runs under the lists' lock: it must not call any
  // operation of this speaker other than id(), name() and index().
  template <class Predicate>
    requires std::predicate<Predicate&, const DiarizerSegment&>
  std::optional<DiarizerSegment> popLast(Predicate&& if_) {
    return popLastIf([&](const DiarizerSegment& segment) -> bool { return if_(segment); });
  }

 private:
  std::optional<DiarizerSegment> popLastIf(
      const std::function<bool(const DiarizerSegment&)>& predicate);

  // Constant after construction.
  const platform::Uuid id_;

  // Guarded by propertyMutex_. Kept apart from the lists' lock so that a popLast() predicate can
  // read them; operations that need both take both at once.
  mutable std::mutex propertyMutex_;
  std::optional<std::string> name_;
  std::int64_t index_;

  // Guarded by mutex_.
  mutable std::mutex mutex_;
  std::vector<DiarizerSegment> finalizedSegments_;
  std::vector<DiarizerSegment> tentativeSegments_;
};

}  // namespace tesselaudio
