#pragma once

// Cache layout, below the models root (MLModelConfigurationUtils::defaultModelsDirectory()):
//
//   sensevoice-small/
//     SenseVoicePreprocessor.mlmodelc     waveform to features, loaded for the CPU only
//     SenseVoiceSmall.mlmodelc            fp16 encoder; SenseVoiceSmall_int8.mlmodelc and
//                                         SenseVoiceSmall_fp32.mlmodelc for the other precisions
//     vocab.json                          token pieces (see PieceVocabulary.h)
//
// A model found only as "<name>.mlpackage" is compiled into $TMPDIR on every load and not kept.

#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <stop_token>
#include <string>

#include "speech/ASR/SenseVoice/SenseVoiceConfig.h"
#include "speech/Shared/Download/DownloadProgress.h"

namespace platform {
class MLModel;
}

namespace tesselaudio {

// The loaded SenseVoice model set: preprocessor and encoder shared by reference, and the
// vocabulary. A value that any number of recognisers may share read-only. The static operations
// keep no state and may run on any thread; those that download block their caller while model
// delivery works.
//
//   auto models = SenseVoiceModels::downloadAndLoad(SenseVoiceEncoderPrecision::int8, {}, stop);
//   SenseVoiceManager recogniser(models);
struct SenseVoiceModels {
  std::shared_ptr<const platform::MLModel> preprocessor;
  std::shared_ptr<const platform::MLModel> encoder;
  std::map<int, std::string> vocabulary;

  // Fetches what the cache folder lacks (the preprocessor, the encoder of `precision` only, and the
  // vocabulary) and loads the set; after a failed load deletes the folder, downloads and loads once
  // more. Returns the loaded set.
  // Throws what ModelHub::loadWithRecovery rethrows: a download error, or load()'s error (the
  // second one when a recovery ran).
  static SenseVoiceModels downloadAndLoad(SenseVoiceEncoderPrecision precision,
                                          const ProgressHandler& progressHandler = {}, std::stop_token stop = {});

  // Makes sure the cache folder holds the set of `precision`: without `force` a complete folder is
  // returned at once (no request); otherwise the repository is downloaded (with `force` the folder
  // is deleted first, ignoring a failure to delete). Returns the cache folder.
  // Throws the download's error unchanged.
  static std::filesystem::path download(SenseVoiceEncoderPrecision precision, bool force = false,
                                        const ProgressHandler& progressHandler = {}, std::stop_token stop = {});

  // Loads the set of `precision` from `from`: the preprocessor for the CPU only, the encoder with
  // all compute units for fp32 and CPU and Neural Engine otherwise, then the vocabulary. Nothing is
  // downloaded.
  // Throws ASRError::processingFailed("SenseVoice model not found: <name>") for a model that is
  // neither compiled nor packaged in the folder; UnsupportedModelFormatError for a bundle without
  // model.onnx; the runtime's compile or load error unchanged; PieceVocabulary::load's errors.
  static SenseVoiceModels load(const std::filesystem::path& from, SenseVoiceEncoderPrecision precision);

  // Whether every file of the precision's required set is usable in `at`.
  static bool modelsExist(const std::filesystem::path& at, SenseVoiceEncoderPrecision precision);

  // The three files of the precision's required set.
  static std::set<std::string> requiredFiles(SenseVoiceEncoderPrecision precision);

  // The models root folder / "sensevoice-small".
  static std::filesystem::path cacheDirectory();
};

}  // namespace tesselaudio
