#pragma once

#include <cstdint>

#include "platform/sys/Error.h"

namespace tesselaudio {

// Thrown by a diarizer timeline when a probability array does not divide into whole frames, or a
// snapshot does not fit the timeline's speaker slots. Nothing has changed when it is thrown.
class DiarizerTimelineError : public platform::Error {
 public:
  enum class Code : int {
    misalignedFinalizedPredictions = 0,
    misalignedTentativePredictions = 1,
    mismatchedSnapshotSlots = 2,
  };

  // "The number of finalized predictions (<count>) isn't a multiple of the speaker count (<S>)."
  static DiarizerTimelineError misalignedFinalizedPredictions(std::int64_t count,
                                                              std::int64_t speakerCount);
  // The same with "tentative".
  static DiarizerTimelineError misalignedTentativePredictions(std::int64_t count,
                                                              std::int64_t speakerCount);
  // A snapshot holding builder state for `slotCount` slots, offered to a timeline of `speakerCount`.
  static DiarizerTimelineError mismatchedSnapshotSlots(std::int64_t slotCount,
                                                       std::int64_t speakerCount);

  Code errorCode() const { return static_cast<Code>(code()); }

 private:
  DiarizerTimelineError(Code code, std::string description);
};

}  // namespace tesselaudio
