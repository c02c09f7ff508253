#include "speech/Diarizer/Sortformer/StreamingUpdateResult.h"

#include <cassert>

namespace tesselaudio {

std::int64_t StreamingUpdateResult::confirmedFrameCount() const {
  assert(numSpeakers > 0);
  return static_cast<std::int64_t>(confirmed.size()) / numSpeakers;
}

std::int64_t StreamingUpdateResult::tentativeFrameCount() const {
  assert(numSpeakers > 0);
  return static_cast<std::int64_t>(tentative.size()) / numSpeakers;
}

}  // namespace tesselaudio
