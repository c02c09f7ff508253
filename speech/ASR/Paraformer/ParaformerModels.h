#pragma once

// Cache layout, below the models root (MLModelConfigurationUtils::defaultModelsDirectory()):
//
//   paraformer-large-zh/
//     ParaformerPreprocessor.mlmodelc     waveform to features, loaded for the CPU only
//     ParaformerEncoder.mlmodelc          fp16; ParaformerEncoder_int8.mlmodelc for int8
//     ParaformerCifAlphas.mlmodelc        one integrate-and-fire weight per encoder frame
//     ParaformerDecoder.mlmodelc          fp16; ParaformerDecoder_int8.mlmodelc for int8
//     vocab.json                          token pieces (see PieceVocabulary.h)
//
// A model found only as "<name>.mlpackage" is compiled into $TMPDIR on every load and not kept.

#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <stop_token>
#include <string>

#include "speech/ASR/Paraformer/ParaformerConfig.h"
#include "speech/Shared/Download/DownloadProgress.h"

namespace platform {
class MLModel;
}

namespace tesselaudio {

// The loaded Paraformer model set: four models shared by reference and the vocabulary. A value that
// any number of recognisers may share read-only. The static operations keep no state and may run on
// any thread; those that download block their caller while model delivery works.
//
//   auto models = ParaformerModels::downloadAndLoad(ParaformerPrecision::fp16, {}, stop);
//   ParaformerManager recogniser(models);
struct ParaformerModels {
  std::shared_ptr<const platform::MLModel> preprocessor;
  std::shared_ptr<const platform::MLModel> encoder;
  std::shared_ptr<const platform::MLModel> cifAlphas;
  std::shared_ptr<const platform::MLModel> decoder;
  std::map<int, std::string> vocabulary;

  // Fetches what the cache folder lacks (the bundles of both precisions and the vocabulary) and
  // loads the set of `precision`; after a failed load deletes the folder, downloads and loads once
  // more. Returns the loaded set.
  // Throws what ModelHub::loadWithRecovery rethrows: a download error, or load()'s error (the
  // second one when a recovery ran).
  static ParaformerModels downloadAndLoad(ParaformerPrecision precision, const ProgressHandler& progressHandler = {},
                                          std::stop_token stop = {});

  // Makes sure the cache folder holds the set of `precision`: without `force` a complete folder is
  // returned at once (no request); otherwise the repository is downloaded (with `force` the folder
  // is deleted first, ignoring a failure to delete). Returns the cache folder.
  // Throws the download's error unchanged.
  static std::filesystem::path download(ParaformerPrecision precision, bool force = false,
                                        const ProgressHandler& progressHandler = {}, std::stop_token stop = {});

  // Loads the set of `precision` from `from`: preprocessor (CPU only), encoder, CIF alphas and
  // decoder (CPU and Neural Engine), then the vocabulary. Nothing is downloaded.
  // Throws ASRError::processingFailed("Paraformer model not found: <name>") for a model that is
  // neither compiled nor packaged in the folder; UnsupportedModelFormatError for a bundle without
  // model.onnx; the runtime's compile or load error unchanged; PieceVocabulary::load's errors.
  static ParaformerModels load(const std::filesystem::path& from, ParaformerPrecision precision);

  // Whether every file of the precision's required set is usable in `at`.
  static bool modelsExist(const std::filesystem::path& at, ParaformerPrecision precision);

  // The five files of the precision's required set.
  static std::set<std::string> requiredFiles(ParaformerPrecision precision);

  // The models root folder / "paraformer-large-zh".
  static std::filesystem::path cacheDirectory();
};

}  // namespace tesselaudio
