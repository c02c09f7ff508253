#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stop_token>
#include <vector>

#include "speech/Diarizer/Offline/Core/OfflineDiarizerConfig.h"
#include "speech/Diarizer/Offline/Core/OfflineDiarizerModels.h"
#include "speech/Diarizer/Offline/Core/PreparedDiarization.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Shared/AudioSampleSource.h"

namespace tesselaudio {

// Called with (chunks completed, estimated chunk total) from the segmentation worker's thread.
using OfflineProgressCallback = std::function<void(std::int64_t, std::int64_t)>;

// The entry object of the offline (whole-recording) diarization: owns the configuration and, once
// given, the models. Serves one caller at a time: initialize() must not overlap other calls.
//
//   OfflineDiarizerManager manager(OfflineDiarizerConfig::default_());
//   manager.initialize(OfflineDiarizerModels::load());
//   auto prepared = manager.prepare(source, loadingSeconds, progress, stop);
class OfflineDiarizerManager {
 public:
  // A manager without models; nothing is validated or loaded.
  explicit OfflineDiarizerManager(OfflineDiarizerConfig config);
  OfflineDiarizerManager(const OfflineDiarizerManager&) = delete;
  OfflineDiarizerManager& operator=(const OfflineDiarizerManager&) = delete;

  const OfflineDiarizerConfig& config() const { return config_; }
  // Null until initialize().
  const std::shared_ptr<const OfflineDiarizerModels>& models() const { return models_; }

  // Replaces the models.
  void initialize(OfflineDiarizerModels models);

  // Segments `audioSource` (mono samples at config().segmentation.sampleRate) and embeds its local
  // speakers at the same time: the segmentation worker hands each finished window to the embedding
  // worker over a stream, and calls `progressCallback` (optional) with (chunk index + 1, estimated
  // chunk count) before handing it over. Both workers have ended before this returns or throws.
  // Returns the prepared diarization; never a partial one.
  // Throws the configuration's validation error before any work; OfflineDiarizationError::
  // modelNotLoaded ("offline-diarizer") without models; the first worker error (segmentation,
  // extraction, the source's read error) unchanged; CancellationError once `stop` is requested.
  PreparedDiarization prepare(std::shared_ptr<const AudioSampleSource> audioSource, double audioLoadingSeconds,
                              const OfflineProgressCallback& progressCallback = {}, std::stop_token stop = {});
  // The same for samples in memory, with loading seconds 0.
  PreparedDiarization prepare(std::vector<float> audio, const OfflineProgressCallback& progressCallback = {},
                              std::stop_token stop = {});

  // max(1, ⌈sampleCount / samplesPerStep⌉): the second number of every progress call.
  static std::int64_t estimatedChunkCount(std::int64_t sampleCount, std::int64_t samplesPerStep);

 private:
  AppLogger logger_;
  OfflineDiarizerConfig config_;
  std::shared_ptr<const OfflineDiarizerModels> models_;
};

}  // namespace tesselaudio
