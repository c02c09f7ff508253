#pragma once

// The detector's model, "silero-vad-unified-256ms-v6.2.1.mlmodelc" of the repository Repo::vad
// (cache folder "silero-vad"), takes three 32-bit float inputs:
//   "audio_input"   [1, 4160]  64 context samples (the end of the previous chunk), then the chunk
//   "hidden_state"  [1, 128]   hidden state after the previous chunk
//   "cell_state"    [1, 128]   cell state after the previous chunk
// and gives three outputs of any numeric type, each found by its exact name first and otherwise
// as the first output whose name contains it in any letter case:
//   "vad_output"        its first element is the chunk's speech probability
//   "new_hidden_state"  its first 128 elements are the new hidden state
//   "new_cell_state"    its first 128 elements are the new cell state

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stop_token>
#include <vector>

#include "speech/Shared/ANEMemoryOptimizer.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Shared/AudioConverter.h"
#include "speech/Shared/Download/DownloadProgress.h"
#include "speech/VAD/VadConfig.h"
#include "speech/VAD/VadResult.h"
#include "speech/VAD/VadSegment.h"
#include "speech/VAD/VadSegmentationConfig.h"
#include "speech/VAD/VadState.h"
#include "speech/VAD/VadStreamResult.h"
#include "speech/VAD/VadStreamState.h"

namespace platform {
class MLFeatureProvider;
class MLModel;
class PcmBuffer;
}  // namespace platform

namespace tesselaudio {

class ZeroCopyFeatureProvider;

// The voice-activity detector: a recurrent speech-probability model run over 16 kHz mono audio in
// chunks of 4,096 samples, with offline speech segmentation and a streaming start and end
// detector on top. The recurrent state travels in values the caller holds (VadState,
// VadStreamState), so one manager serves any number of recordings and streams.
//
// Safe from any thread: one mutex is held for the whole of each operation, so operations on one
// manager run one at a time; separate managers run in parallel. Processing checks no
// cancellation.
//
//   VadManager vad(VadConfig::default_());             // downloads and loads the model
//   auto results = vad.process(samples);               // one result per 4,096 samples
//   auto segments = vad.segmentSpeech(results, samples.size(), VadSegmentationConfig::default_());
//
//   auto stream = vad.makeStreamState();
//   for (auto chunk : chunks) {
//     auto step = vad.processStreamingChunk(chunk, stream, config, true, 2);
//     if (step.event) ...;
//     stream = step.state;
//   }
class VadManager {
 public:
  static constexpr int sampleRate = 16000;
  static constexpr int chunkSize = 4096;

  // Loads the model from the default models folder (MLModelConfigurationUtils::
  // defaultModelsDirectory()), downloading it into its "silero-vad" folder when missing, with the
  // model hub's one recovery after a failed load (ModelHub::loadModels). Logs "VAD system
  // initialized in 0.42s". Throws the hub's download or load error unchanged (CancellationError when
  // `stop` is requested), VadError::modelLoadingFailed when the model is not among those loaded.
  explicit VadManager(const VadConfig& config = VadConfig::default_(), const ProgressHandler& progressHandler = {},
                      std::stop_token stop = {});
  // The same below `modelDirectory`: the model's files live in modelDirectory/Models/silero-vad.
  VadManager(const VadConfig& config, const std::filesystem::path& modelDirectory,
             const ProgressHandler& progressHandler = {}, std::stop_token stop = {});
  // Takes a model loaded elsewhere; logs "VAD initialized with provided model". A null model makes a
  // manager whose processing throws VadError::notInitialized.
  VadManager(const VadConfig& config, std::shared_ptr<const platform::MLModel> vadModel);

  ~VadManager();
  VadManager(const VadManager&) = delete;
  VadManager& operator=(const VadManager&) = delete;

  bool isAvailable() const;
  const VadConfig& config() const { return config_; }
  const VadConfig& currentConfig() const { return config_; }

  // One result per 4,096 samples of the file converted to 16 kHz mono (the last chunk may be
  // shorter). Throws the converter's or the file layer's error unchanged, and what processChunk
  // throws; no partial results.
  std::vector<VadResult> process(const std::filesystem::path& url);
  // The same for a buffer: taken as it is when already 16 kHz mono float, else converted in
  // slices of 1,048,576 frames.
  std::vector<VadResult> process(const platform::PcmBuffer& buffer);
  // The same for 16 kHz mono samples. Empty samples give no results, with or without a model.
  std::vector<VadResult> process(std::span<const float> samples);

  // Runs one chunk with `inputState` (VadState::initial() when absent). The chunk is made exactly
  // 4,096 samples long: longer ones are cut, shorter ones filled with copies of their last sample
  // (zeros when empty). The output state's context is the last 64 samples of that chunk.
  // Throws VadError::notInitialized without a model; VadError::modelProcessingFailed when the run
  // fails or an output is missing or too short (the manager stays usable).
  VadResult processChunk(std::span<const float> chunk, const std::optional<VadState>& inputState = std::nullopt);

  // Speech segments of 16 kHz mono samples: process(), then segmentSpeech() over the results.
  // Throws what process() throws.
  std::vector<VadSegment> segmentSpeech(std::span<const float> samples, const VadSegmentationConfig& config);
  // Speech segments over chunk results in chunk order for audio of `totalSamples` samples: speech
  // starts on a chunk at or above the speech threshold, ends after minSilenceDuration below the
  // silence threshold, is dropped when shorter than minSpeechDuration, is split at the best pause
  // when longer than maxSpeechDuration, and is padded by speechPadding (neighbours closer than
  // twice the padding meet halfway). No results or a total below 1 give none. Never throws.
  std::vector<VadSegment> segmentSpeech(std::span<const VadResult> from, std::int64_t totalSamples,
                                        const VadSegmentationConfig& config);
  // The samples of each segment of segmentSpeech(samples, config), copied, in order.
  std::vector<std::vector<float>> segmentSpeechAudio(std::span<const float> samples,
                                                     const VadSegmentationConfig& config);

  // VadStreamState::initial().
  VadStreamState makeStreamState() const;
  // Runs one chunk of a stream (any length) with state.modelState and moves the stream's state
  // machine: a speech start speechPadding before the first loud chunk (not below 0); an end
  // speechPadding after the start of the pause's first quiet chunk, reported once the pause has
  // lasted minSilenceDuration counted from that chunk's end. Times, when `returnSeconds`, are the
  // positions in seconds rounded to `timeResolution` decimals (halves away from zero).
  // Throws what processChunk throws; `state` stays valid for another attempt.
  VadStreamResult processStreamingChunk(std::span<const float> chunk, const VadStreamState& state,
                                        const VadSegmentationConfig& config, bool returnSeconds,
                                        int timeResolution);

 private:
  // The model's three outputs of one run.
  struct ModelOutput {
    float probability = 0;
    std::vector<float> hiddenState;
    std::vector<float> cellState;
  };

  void loadUnifiedModel(const std::optional<std::filesystem::path>& from, const ProgressHandler& progressHandler,
                        std::stop_token stop);
  // The callers below hold mutex_.
  std::vector<VadResult> processAudioSamples(std::span<const float> samples);
  // `window`, when given, is the state's context followed by the chunk, side by side in the
  // caller's memory (4,160 samples): the model then reads them in place instead of a copy.
  VadResult processChunkLocked(std::span<const float> chunk, const VadState& inputState,
                               std::span<const float> window = {});
  std::span<const float> normalisedChunk(std::span<const float> chunk);
  ModelOutput processUnifiedModel(std::span<const float> chunk, const VadState& inputState,
                                  std::span<const float> window);
  ModelOutput runModel(std::span<const float> chunk, const VadState& inputState, std::span<const float> window);
  ModelOutput readOutputs(const platform::MLFeatureProvider& outputs) const;
  // The three pooled input buffers, bound to the model's input names.
  const ZeroCopyFeatureProvider& modelInputs();
  std::vector<VadSegment> segmentResults(std::span<const VadResult> from, std::int64_t totalSamples,
                                         const VadSegmentationConfig& config) const;

  // Constant after construction.
  const AppLogger logger_;
  const VadConfig config_;
  const AudioConverter audioConverter_;
  std::shared_ptr<const platform::MLModel> vadModel_;

  std::mutex mutex_;
  // Guarded by mutex_: the pooled model inputs and the buffer short chunks are filled up in.
  ANEMemoryOptimizer memoryOptimizer_;
  std::vector<float> paddedChunk_;
  std::unique_ptr<ZeroCopyFeatureProvider> modelInputs_;
};

}  // namespace tesselaudio
