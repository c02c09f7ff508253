#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "speech/Diarizer/Core/ChunkEmbedding.h"
#include "speech/Diarizer/Core/PipelineTimings.h"
#include "speech/Diarizer/Core/TimedSpeakerSegment.h"

namespace tesselaudio {

// What a diarizer returns for one input: the chunked diarizer and the offline pipeline alike.
// A plain value.
struct DiarizationResult {
  // The speaker segments of the whole input.
  std::vector<TimedSpeakerSegment> segments;
  // Each known speaker's embedding by speaker id; filled in debug mode only.
  std::optional<std::map<std::string, std::vector<float>>> speakerDatabase;
  // One per chunk and local speaker, when the configuration asks for them.
  std::optional<std::vector<ChunkEmbedding>> chunkEmbeddings;
  // Stage timings; filled in debug mode only.
  std::optional<PipelineTimings> timings;

  bool operator==(const DiarizationResult&) const = default;
};

}  // namespace tesselaudio
