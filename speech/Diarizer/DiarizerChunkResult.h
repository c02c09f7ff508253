#pragma once

#include <cstdint>
#include <vector>

namespace tesselaudio {

// The model output of one processed chunk: probabilities of the frames that will not change any
// more, then of the tail frames that a later chunk predicts again. A plain value.
//
// Probability arrays are flat and frame-major: the value of slot s in frame f stands at
// f × numSpeakers + s.
struct DiarizerChunkResult {
  DiarizerChunkResult(std::int64_t startFrame, std::vector<float> finalizedPredictions,
                      std::int64_t finalizedFrameCount, std::vector<float> tentativePredictions,
                      std::int64_t tentativeFrameCount);

  // Absolute frame of the first tentative frame: startFrame + finalizedFrameCount.
  std::int64_t tentativeStartFrame() const { return startFrame + finalizedFrameCount; }

  // The finalized value of `speaker` in `frame`, counted from the chunk's first finalized frame;
  // 0 when `frame` ≥ finalizedFrameCount or `speaker` ≥ `numSpeakers`.
  // REQUIRES: speaker ≥ 0, frame ≥ 0, and the position lies within finalizedPredictions.
  float probability(std::int64_t speaker, std::int64_t frame, std::int64_t numSpeakers) const;
  // The same over the tentative frames, `frame` counted from the first tentative frame.
  float tentativeProbability(std::int64_t speaker, std::int64_t frame,
                             std::int64_t numSpeakers) const;

  std::vector<float> finalizedPredictions;
  std::int64_t finalizedFrameCount;
  // Absolute frame of the first finalized frame, as the producer numbered it.
  std::int64_t startFrame;
  std::vector<float> tentativePredictions;
  std::int64_t tentativeFrameCount;
};

}  // namespace tesselaudio
