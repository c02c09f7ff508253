#pragma once

#include <filesystem>
#include <memory>
#include <stop_token>

#include "platform/ml/MLModel.h"
#include "speech/Shared/Download/DownloadProgress.h"

namespace tesselaudio {

// The two CAM++ networks: a preprocessor (waveform "waveform" [1, N] → "features" [1, T, 80]) and
// the embedding network ("feats" → "embedding", 192 values). The static operations find, download
// and load them from the models folder <models root>/campplus; they keep no state and may run on
// any thread. A value; the models themselves are immutable and shared.
//
//   auto folder = CampPlusModels::download(false, onProgress, stop);
//   CampPlusEmbedder embedder(CampPlusModels::load(folder));
struct CampPlusModels {
  CampPlusModels(std::shared_ptr<const platform::MLModel> preprocessor,
                 std::shared_ptr<const platform::MLModel> model);

  // Makes sure both compiled models are in the models folder and returns its path. With `force`
  // the folder is removed first (a failed removal is ignored) and fetched again; otherwise a folder
  // that already holds both makes no request.
  // Throws the hub's download error unchanged, or CancellationError.
  static std::filesystem::path download(bool force, const ProgressHandler& progressHandler = {},
                                        std::stop_token stop = {});

  // Loads "CamPlusPreprocessor_v2" (CPU only) and then "CamPlusPlus_v2" (CPU and GPU) from `from`,
  // each from its ".mlmodelc" or, failing that, compiled from its ".mlpackage".
  // Throws ASRError::processingFailed("CAM++ model not found: <name>") when neither is there (the
  // preprocessor is tried first), UnsupportedModelFormatError for a bundle without a usable network
  // (nothing is deleted), the runtime's compile and load errors unchanged.
  static CampPlusModels load(const std::filesystem::path& from);

  // download(false, progressHandler) then load. Throws what those throw.
  static CampPlusModels downloadAndLoad(const ProgressHandler& progressHandler = {}, std::stop_token stop = {});

  // True when both compiled models exist in `at`.
  static bool modelsExist(const std::filesystem::path& at);

  std::shared_ptr<const platform::MLModel> preprocessor;
  std::shared_ptr<const platform::MLModel> model;
};

}  // namespace tesselaudio
