#include "speech/Diarizer/DiarizerTimelineError.h"

#include <utility>

#include <fmt/format.h>

namespace tesselaudio {

DiarizerTimelineError::DiarizerTimelineError(Code code, std::string description)
    : platform::Error("DiarizerTimelineError", "TesselAudio.DiarizerTimelineError",
                      static_cast<int>(code), std::move(description)) {}

DiarizerTimelineError DiarizerTimelineError::misalignedFinalizedPredictions(
    std::int64_t count, std::int64_t speakerCount) {
  return DiarizerTimelineError(
      Code::misalignedFinalizedPredictions,
      fmt::format("The number of finalized predictions ({}) isn't a multiple of the speaker "
                  "count ({}).",
                  count, speakerCount));
}

DiarizerTimelineError DiarizerTimelineError::misalignedTentativePredictions(
    std::int64_t count, std::int64_t speakerCount) {
  return DiarizerTimelineError(
      Code::misalignedTentativePredictions,
      fmt::format("The number of tentative predictions ({}) isn't a multiple of the speaker "
                  "count ({}).",
                  count, speakerCount));
}

DiarizerTimelineError DiarizerTimelineError::mismatchedSnapshotSlots(std::int64_t slotCount,
                                                                     std::int64_t speakerCount) {
  return DiarizerTimelineError(
      Code::mismatchedSnapshotSlots,
      fmt::format("The snapshot's slot count ({}) doesn't match the speaker count ({}).",
                  slotCount, speakerCount));
}

}  // namespace tesselaudio
