#include "speech/Diarizer/DiarizerSegment.h"

#include <algorithm>
#include <cmath>
#include <tuple>

#include <fmt/format.h>

namespace tesselaudio {
namespace {

std::int64_t frameOf(float seconds, float frameDurationSeconds) {
  return static_cast<std::int64_t>(std::llround(seconds / frameDurationSeconds));
}

}  // namespace

DiarizerSegment::DiarizerSegment(std::int64_t speakerIndex, std::int64_t startFrame,
                                 std::int64_t endFrame, bool finalized,
                                 float frameDurationSeconds, float activity)
    : speakerIndex(speakerIndex),
      startFrame(startFrame),
      endFrame(endFrame),
      isFinalized(finalized),
      activity(activity),
      id_(platform::Uuid::random()),
      frameDurationSeconds_(frameDurationSeconds) {}

DiarizerSegment DiarizerSegment::fromTimes(std::int64_t speakerIndex, float startTime,
                                           float endTime, bool finalized,
                                           float frameDurationSeconds, float activity) {
  return DiarizerSegment(speakerIndex, frameOf(startTime, frameDurationSeconds),
                         frameOf(endTime, frameDurationSeconds), finalized, frameDurationSeconds,
                         activity);
}

std::string DiarizerSegment::speakerLabel() const {
  return fmt::format("Speaker {}", speakerIndex);
}

bool DiarizerSegment::overlaps(const DiarizerSegment& with) const {
  return endFrame >= with.startFrame && with.endFrame >= startFrame;
}

void DiarizerSegment::absorb(const DiarizerSegment& other) {
  const float a = static_cast<float>(length());
  const float b = static_cast<float>(other.length());
  activity = a + b > 0 ? (activity * a + other.activity * b) / (a + b) : 0.0f;
  startFrame = std::min(startFrame, other.startFrame);
  endFrame = std::max(endFrame, other.endFrame);
}

void DiarizerSegment::extendEnd(std::int64_t toFrame) { endFrame = std::max(endFrame, toFrame); }

void DiarizerSegment::extendStart(std::int64_t toFrame) {
  startFrame = std::min(startFrame, toFrame);
}

bool DiarizerSegment::operator==(const DiarizerSegment& other) const {
  return startFrame == other.startFrame && endFrame == other.endFrame &&
         speakerIndex == other.speakerIndex;
}

std::weak_ordering DiarizerSegment::operator<=>(const DiarizerSegment& other) const {
  return std::tie(startFrame, endFrame, speakerIndex) <=>
         std::tie(other.startFrame, other.endFrame, other.speakerIndex);
}

}  // namespace tesselaudio
