#pragma once

#include <filesystem>
#include <memory>
#include <stop_token>

#include "platform/ml/MLModel.h"
#include "speech/Shared/Download/DownloadProgress.h"

namespace tesselaudio {

// The two networks of the FSMN voice-activity detector, in the folder <models root>/fsmn-vad:
//   "FsmnVadPreprocessor": "waveform" f32 [1, n] (samples × 32768) → "features" [1, D, 400], one
//                          frame per 10 ms
//   "FsmnVad":             "feats" f32 [1, B, 400] → "scores" [1, B, V]; class 0 is silence
// each as a compiled "<name>.mlmodelc" or a package "<name>.mlpackage" compiled on load. The static
// operations keep no state and may run on any thread; they make no recovery (nothing is ever
// deleted after a failed load). A value; the models themselves are immutable and shared.
//
//   auto models = FsmnVadModels::downloadAndLoad(onProgress, stop);
//   FsmnVadManager vad(models);
struct FsmnVadModels {
  FsmnVadModels(std::shared_ptr<const platform::MLModel> preprocessor,
                std::shared_ptr<const platform::MLModel> scorer);

  // Makes sure the models folder holds both compiled models and returns its path. With `force` the
  // folder is removed first (a failed removal is ignored) and fetched again; otherwise a folder that
  // already holds both makes no request.
  // Throws the hub's download error unchanged, or CancellationError.
  static std::filesystem::path download(bool force, const ProgressHandler& progressHandler = {},
                                        std::stop_token stop = {});

  // Loads "FsmnVadPreprocessor" for the CPU only, then "FsmnVad" for the CPU and the Neural Engine,
  // each from its ".mlmodelc" or, failing that, compiled from its ".mlpackage".
  // Throws ASRError::processingFailed("FSMN-VAD model not found: <name>") when neither is there (the
  // preprocessor is tried first), UnsupportedModelFormatError for a bundle without a usable network,
  // the runtime's compile and load errors unchanged.
  static FsmnVadModels load(const std::filesystem::path& from);

  // download(false, progressHandler) then load. Throws what those throw.
  static FsmnVadModels downloadAndLoad(const ProgressHandler& progressHandler = {}, std::stop_token stop = {});

  // True when both "FsmnVadPreprocessor.mlmodelc" and "FsmnVad.mlmodelc" exist in `at` (packages do
  // not count).
  static bool modelsExist(const std::filesystem::path& at);

  std::shared_ptr<const platform::MLModel> preprocessor;
  std::shared_ptr<const platform::MLModel> scorer;
};

}  // namespace tesselaudio
