#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <stop_token>
#include <vector>

#include "platform/ml/MLModel.h"
#include "platform/ml/MLModelConfiguration.h"
#include "speech/Shared/Download/DownloadProgress.h"

namespace tesselaudio {

// The loaded models of the offline diarization pipeline: segmentation, filter-bank features,
// speaker embedding and PLDA projection, with the PLDA psi vector. Immutable once loaded; the
// models predict from any thread.
//
//   auto models = OfflineDiarizerModels::load();          // downloads on first use
//   OfflineSegmentationProcessor segmentation;
//   auto output = segmentation.process(source, *models.segmentationModel, config);
//
// The files come from the diarizer repository's "offline" set, cached in
// <models folder>/speaker-diarization/: Segmentation.mlmodelc, FBank.mlmodelc, Embedding.mlmodelc,
// PldaRho.mlmodelc and plda-parameters.json. The PLDA file is a JSON object of which only
// tensors → psi → data_base64 is read: the Base64 (standard alphabet; other characters are
// skipped) of the psi values as consecutive little-endian float32 numbers; a trailing remainder of
// 1 to 3 bytes is ignored.
struct OfflineDiarizerModels {
  std::shared_ptr<platform::MLModel> segmentationModel;
  // Always loaded for the CPU only.
  std::shared_ptr<platform::MLModel> fbankModel;
  std::shared_ptr<platform::MLModel> embeddingModel;
  std::shared_ptr<platform::MLModel> pldaRhoModel;
  std::vector<double> pldaPsi;
  // Seconds from the start of load() until the set was complete.
  double compilationDuration = 0;

  // Makes sure the repository's offline files are in `from` (the models root when none is given),
  // downloading what is missing, loads the segmentation, embedding and PLDA models with the
  // configuration's compute units (all units when none is given) and the filter-bank model for the
  // CPU only, each through the model hub's load with one recovery, and reads psi. `progressHandler`
  // may be called from download threads.
  // Throws the model hub's errors unchanged (download, load, cache-preserving format errors,
  // CancellationError); OfflineDiarizationError::modelNotLoaded when a model is missing from a
  // load; processingFailed when no PLDA file is found, it does not hold the psi tensor as described
  // above ("Failed to decode PLDA psi parameters") or that holds fewer than 4 bytes ("PLDA psi
  // tensor is empty"); the file's read error or the JSON parse error unchanged.
  static OfflineDiarizerModels load(const std::optional<std::filesystem::path>& from = std::nullopt,
                                    const std::optional<platform::MLModelConfiguration>& configuration = std::nullopt,
                                    const ProgressHandler& progressHandler = {}, std::stop_token stop = {});

  // The models root folder: $XDG_DATA_HOME/TesselAudio/Models.
  static std::filesystem::path defaultModelsDirectory();

  // The psi vector of the first PLDA file found in `folder`: "plda-parameters.json", then
  // "speaker-diarization/", "speaker-diarization-coreml/" and "speaker-diarization-offline/" +
  // "plda-parameters.json". Throws as load() does for the PLDA file.
  static std::vector<double> loadPLDAPsi(const std::filesystem::path& folder);
};

}  // namespace tesselaudio
