#include "speech/Diarizer/DiarizerChunkResult.h"

#include <cassert>
#include <utility>

namespace tesselaudio {
namespace {

float valueAt(const std::vector<float>& predictions, std::int64_t frameCount,
              std::int64_t speaker, std::int64_t frame, std::int64_t numSpeakers) {
  if (frame >= frameCount || speaker >= numSpeakers) return 0.0f;
  const std::int64_t position = frame * numSpeakers + speaker;
  assert(speaker >= 0 && frame >= 0 && position < static_cast<std::int64_t>(predictions.size()));
  return predictions[static_cast<std::size_t>(position)];
}

}  // namespace

DiarizerChunkResult::DiarizerChunkResult(std::int64_t startFrame,
                                         std::vector<float> finalizedPredictions,
                                         std::int64_t finalizedFrameCount,
                                         std::vector<float> tentativePredictions,
                                         std::int64_t tentativeFrameCount)
    : finalizedPredictions(std::move(finalizedPredictions)),
      finalizedFrameCount(finalizedFrameCount),
      startFrame(startFrame),
      tentativePredictions(std::move(tentativePredictions)),
      tentativeFrameCount(tentativeFrameCount) {}

float DiarizerChunkResult::probability(std::int64_t speaker, std::int64_t frame,
                                       std::int64_t numSpeakers) const {
  return valueAt(finalizedPredictions, finalizedFrameCount, speaker, frame, numSpeakers);
}

float DiarizerChunkResult::tentativeProbability(std::int64_t speaker, std::int64_t frame,
                                                std::int64_t numSpeakers) const {
  return valueAt(tentativePredictions, tentativeFrameCount, speaker, frame, numSpeakers);
}

}  // namespace tesselaudio
