#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <stop_token>
#include <string>

#include "platform/ml/MLModel.h"
#include "platform/ml/MLModelConfiguration.h"
#include "speech/Shared/Download/DownloadProgress.h"

namespace tesselaudio {

// The loaded models of the chunked diarizer: speaker segmentation ("pyannote_segmentation.mlmodelc",
// input "audio", output "segments") and WeSpeaker embedding ("wespeaker_v2.mlmodelc", inputs
// "waveform" and "mask", output "embedding"), with the time getting them ready took. A value; the
// models are immutable and may be shared by several diarizer managers. The static operations keep no
// state and may run on any thread; the cache folder belongs to model delivery.
//
//   auto models = DiarizerModels::downloadIfNeeded();
//   DiarizerManager diarizer;
//   diarizer.initialize(models);
struct DiarizerModels {
  std::shared_ptr<const platform::MLModel> segmentationModel;
  std::shared_ptr<const platform::MLModel> embeddingModel;
  // Seconds from the start of the loading call until both models were loaded, download included.
  double compilationDuration = 0;

  // "pyannote_segmentation.mlmodelc" and "wespeaker_v2.mlmodelc".
  static std::set<std::string> requiredModelNames();

  // <models root>/speaker-diarization (see MLModelConfigurationUtils). Creates nothing.
  static std::filesystem::path defaultModelsDirectory();

  // Low-precision GPU accumulation allowed; CPU and Neural Engine when the environment has "CI" (any
  // value), all compute units otherwise.
  static platform::MLModelConfiguration defaultConfiguration();

  // Makes sure both models are cached in the diarizer folder below the parent of `to` (default:
  // defaultModelsDirectory()), downloading what is missing, and loads them with the compute units of
  // `configuration` (default: defaultConfiguration()). A load that fails for a reason the cache may
  // have caused deletes both bundles, fetches them again and loads once more (ModelHub::loadModels).
  // Throws the hub's download and load errors unchanged (UnsupportedModelFormatError keeps the
  // cache), DiarizerError::modelDownloadFailed when a model is missing from what was loaded, and
  // CancellationError when `stop` is requested (the cache stays as it was).
  static DiarizerModels download(const std::optional<std::filesystem::path>& to = std::nullopt,
                                 const std::optional<platform::MLModelConfiguration>& configuration = std::nullopt,
                                 const ProgressHandler& progressHandler = {}, std::stop_token stop = {});

  // The same as download.
  static DiarizerModels downloadIfNeeded(
      const std::optional<std::filesystem::path>& to = std::nullopt,
      const std::optional<platform::MLModelConfiguration>& configuration = std::nullopt,
      const ProgressHandler& progressHandler = {}, std::stop_token stop = {});

  // download with `from`, or defaultModelsDirectory() when none is given.
  static DiarizerModels load(const std::optional<std::filesystem::path>& from = std::nullopt,
                             const std::optional<platform::MLModelConfiguration>& configuration = std::nullopt,
                             const ProgressHandler& progressHandler = {}, std::stop_token stop = {});

  // Opens two compiled bundles where they lie, the segmentation model first, with `configuration`
  // (default: defaultConfiguration()). No download and no recovery.
  // Throws what ModelHub::openCompiledModel throws for the first bundle that fails.
  static DiarizerModels load(const std::filesystem::path& localSegmentationModel,
                             const std::filesystem::path& localEmbeddingModel,
                             const std::optional<platform::MLModelConfiguration>& configuration = std::nullopt);
};

}  // namespace tesselaudio
