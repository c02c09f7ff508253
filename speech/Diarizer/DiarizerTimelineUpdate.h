#pragma once

#include <vector>

#include "speech/Diarizer/DiarizerChunkResult.h"
#include "speech/Diarizer/DiarizerSegment.h"

namespace tesselaudio {

// What one call into a diarizer timeline produced. A plain value.
struct DiarizerTimelineUpdate {
  // The segments this call finalized, in emission order (slot 0's first).
  std::vector<DiarizerSegment> finalizedSegments;
  // The segments that stand for the not-yet-final tail after this call.
  std::vector<DiarizerSegment> tentativeSegments;
  // The chunk that was processed.
  DiarizerChunkResult chunkResult;
};

}  // namespace tesselaudio
