#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stop_token>
#include <vector>

#include "speech/Shared/Download/DownloadProgress.h"
#include "speech/VAD/Fsmn/FsmnVadModels.h"
#include "speech/VAD/Fsmn/FsmnVadSegment.h"

namespace tesselaudio {

// Speech segments of whole 16 kHz mono audio from the FSMN networks: the audio is scored in chunks
// of at most 488,320 samples (3,052 frames of 10 ms), each frame gets a silence probability, and a
// 20-frame voting window turns those into segments in milliseconds. The model work of one call runs
// while no other call's does; safe from any thread. Every call is independent.
//
//   auto vad = FsmnVadManager::load(onProgress, stop);
//   for (const FsmnVadSegment& s : vad->detect(samples)) use(s.startMs, s.endMs);
class FsmnVadManager {
 public:
  // Samples per 10 ms frame.
  static constexpr std::size_t kFrameSamples = 160;
  // Samples of one chunk: 3,052 frames, which fit the largest scorer input.
  static constexpr std::size_t kChunkSamples = 488'320;
  // The scorer's input frame counts; a chunk is zero-padded to the first that holds its frames.
  static constexpr std::size_t kScorerFrames[] = {512, 1024, 2048, 3072};
  // Features per frame.
  static constexpr std::size_t kFeatureWidth = 400;

  explicit FsmnVadManager(FsmnVadModels models);
  FsmnVadManager(const FsmnVadManager&) = delete;
  FsmnVadManager& operator=(const FsmnVadManager&) = delete;

  // Downloads the models when the folder lacks them, loads them and makes a manager. Throws what
  // FsmnVadModels::download and FsmnVadModels::load throw.
  static std::unique_ptr<FsmnVadManager> load(const ProgressHandler& progressHandler = {},
                                              std::stop_token stop = {});

  // The speech segments of an audio file, read and converted to 16 kHz mono first. Throws the
  // converter's errors unchanged, then as detect(audio).
  std::vector<FsmnVadSegment> detect(const std::filesystem::path& audioURL) const;

  // The speech segments of 16 kHz mono samples, in order (none for no samples): decide() over
  // silenceProbabilities(). Throws as silenceProbabilities(); a failing chunk ends the call
  // without any segment.
  std::vector<FsmnVadSegment> detect(const std::vector<float>& audio) const;

  // One silence probability per 10 ms frame, frame j describing the samples from j × 160, gathered
  // chunk by chunk (a later chunk starts two frames before the end of what is covered and drops
  // those two). Public for tests and benchmarks; detect() calls it.
  // Throws ASRError::processingFailed when the preprocessor gives no "features", more than 3,072
  // frames or fewer than 400 values per frame, or the scorer no "scores" or fewer rows than frames;
  // the runtime's prediction errors unchanged.
  std::vector<float> silenceProbabilities(const std::vector<float>& audio) const;

  // Segments from frame silence probabilities: a frame is speech at 0.2 or below; it is voiced when
  // the last 20 frames hold 15 speech frames (16 right after a voiced frame); a segment opens 350 ms
  // before its first voiced frame, ends 80 unvoiced frames later (700 ms after the last voiced one),
  // is cut at 60 s, and one still open ends with the last frame. Public for tests and benchmarks.
  static std::vector<FsmnVadSegment> decide(const std::vector<float>& silence);

  const FsmnVadModels& models() const { return models_; }

 private:
  // The silence probabilities of one chunk's frames.
  std::vector<float> chunkSilence(const float* samples, std::size_t count) const;

  // Constant after construction.
  const FsmnVadModels models_;

  // Serialises the model work of the calls.
  mutable std::mutex mutex_;
};

}  // namespace tesselaudio
