#pragma once

#include <cstdint>
#include <functional>
#include <stop_token>
#include <vector>

#include "platform/ml/MLModel.h"
#include "platform/sys/Signposter.h"
#include "speech/Diarizer/Offline/Core/OfflineDiarizerConfig.h"
#include "speech/Diarizer/Offline/Core/SegmentationChunk.h"
#include "speech/Diarizer/Offline/Core/SegmentationOutput.h"
#include "speech/Diarizer/Offline/Segmentation/SegmentationChunkContinuation.h"
#include "speech/Shared/ANEMemoryOptimizer.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Shared/AudioSampleSource.h"

namespace tesselaudio {

// Receives each decoded window while segmentation goes on. Called on the segmenting thread, one
// window at a time, before the next window is decoded; must be safe to call from any thread.
using SegmentationChunkHandler = std::function<SegmentationChunkContinuation(const SegmentationChunk&)>;

// Runs the segmentation model over a whole recording in overlapping windows and turns each frame's
// powerset scores into the activity of up to three local speakers. One run at a time; the pooled
// model inputs are kept between runs.
//
//   OfflineSegmentationProcessor segmentation;
//   auto output = segmentation.process(source, *models.segmentationModel, config,
//                                      [&](const SegmentationChunk& chunk) {
//                                        queue.push(chunk);
//                                        return SegmentationChunkContinuation::proceed;
//                                      });
//
// Model contract: input "audio", float32 [windows, 1, samples per window]; output "segments"
// (else "log_probs", else any multi-array output), float32 [windows, frames, classes], or
// [frames, classes] for a single window. Classes are the powerset of three local speakers:
// none, 0, 1, 2, 0+1, 0+2, 1+2, 0+1+2.
class OfflineSegmentationProcessor {
 public:
  OfflineSegmentationProcessor();
  OfflineSegmentationProcessor(const OfflineSegmentationProcessor&) = delete;
  OfflineSegmentationProcessor& operator=(const OfflineSegmentationProcessor&) = delete;

  // The pool of model inputs: "offline_segmentation_audio_<windows>_<samples per window>" per batch
  // size, and "offline_segmentation_warmup_<samples per window>".
  ANEMemoryOptimizer& memoryOptimizer() { return memoryOptimizer_; }

  // The local speakers of each powerset class, by class.
  static const std::vector<std::vector<std::int64_t>>& powerset();

  // Segments the whole of `audioSource` (mono samples at config.segmentation.sampleRate): windows
  // of samplesPerWindow() samples start at every multiple of samplesPerStep() below the sample
  // count (the last ones padded with zeros) and go to the model config.segmentation.batchSize at a
  // time, overlapping samples read once. Each frame's winning class gives its speaker weights; no
  // thresholds or durations are applied. `chunkHandler` (optional) receives every window until it
  // answers stop. Writes debug statistics and a "[Profiling] Segmentation timings: ..." line on
  // standard error.
  // Returns every window, handled or not.
  // Throws OfflineDiarizationError::noSpeechDetected for a source without samples;
  // processingFailed when there is no window (batch size 0), when the output holds no multi-array
  // or has a rank other than 2 or 3; CancellationError before a batch or a prediction once `stop`
  // is requested; the pool's ANEMemoryError and the prediction's MLModelError unchanged.
  // Windows already handed to `chunkHandler` stay delivered.
  // REQUIRES: `config` passed validate().
  SegmentationOutput process(const AudioSampleSource& audioSource, const platform::MLModel& segmentationModel,
                             const OfflineDiarizerConfig& config, const SegmentationChunkHandler& chunkHandler = {},
                             std::stop_token stop = {});

 private:
  struct Run;

  void warmUp(const platform::MLModel& model, std::int64_t window, std::stop_token stop);
  void fillWindow(Run& run, std::int64_t start, float* slot) const;
  void decodeBatch(Run& run, const platform::MLFeatureProvider& outputs, const std::vector<std::int64_t>& starts,
                   const SegmentationChunkHandler& chunkHandler) const;
  void logStatistics(const Run& run) const;
  void reportTimings(const Run& run) const;

  AppLogger logger_;
  platform::Signposter signposter_;
  ANEMemoryOptimizer memoryOptimizer_;
};

}  // namespace tesselaudio
