#include "speech/Diarizer/Core/TimedSpeakerSegment.h"

#include <utility>

namespace tesselaudio {

TimedSpeakerSegment::TimedSpeakerSegment(std::string speakerId, std::vector<float> embedding,
                                         float startTimeSeconds, float endTimeSeconds,
                                         float qualityScore)
    : id(platform::Uuid::random()),
      speakerId(std::move(speakerId)),
      embedding(std::move(embedding)),
      startTimeSeconds(startTimeSeconds),
      endTimeSeconds(endTimeSeconds),
      qualityScore(qualityScore) {}

}  // namespace tesselaudio
