#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "platform/ml/MLComputeUnits.h"
#include "platform/ml/MLModelConfiguration.h"
#include "platform/ml/MLPredictionOptions.h"
#include "speech/ASR/Parakeet/AsrModelVersion.h"
#include "speech/ASR/Parakeet/EncoderLadderFunction.h"
#include "speech/Shared/Download/DownloadProgress.h"
#include "speech/Shared/ModelNames.h"
#include "speech/Shared/ParakeetEncoderPrecision.h"

namespace platform {
class MLModel;
}

namespace tesselaudio {

// One loaded Parakeet model set, and the static rules and loaders of model sets: cache folders,
// required files, the minimum system, the version of a folder, the encoder's compute units,
// download into the model cache, validation and loading. A value that engines share; the loaded
// models are immutable and safe from any thread. The loaders keep no state and may run on any
// thread; they log under the category "AsrModels" (the hub logs its own lines).
//
//   auto models = AsrModels::downloadAndLoad(std::nullopt, std::nullopt, AsrModelVersion::v3);
//   // or, with the files already in a folder of their own:
//   auto local = AsrModels::loadLocal(folder, AsrModelVersion::v3);
//
// A cache folder is <models root>/<the version's cache folder name>, holding the version's
// compiled models, its vocabulary JSON (see ParakeetVocabulary.h) and, for a pinned revision, the
// hub's revision marker. An encoder bundle may name functions "enc_<milliseconds>ms", each built
// for that fixed audio length; they form the encoder ladder.
struct AsrModels {
  // Null exactly when the version has a fused front end.
  std::shared_ptr<const platform::MLModel> encoder;
  // Audio to mel features (to encoder frames for the fused front end).
  std::shared_ptr<const platform::MLModel> preprocessor;
  // The prediction network.
  std::shared_ptr<const platform::MLModel> decoder;
  // The joint network with its token and duration decision.
  std::shared_ptr<const platform::MLModel> joint;
  // Only ever set for tdtCtc110m.
  std::shared_ptr<const platform::MLModel> ctcHead;
  // In ascending order of seconds; empty for the fused front end and for local sets.
  std::vector<EncoderLadderFunction> encoderLadder;
  platform::MLModelConfiguration configuration;
  // Token id to vocabulary piece.
  std::map<int, std::string> vocabulary;
  AsrModelVersion version = AsrModelVersion::v3;

  // False only for tdtCtc110m.
  bool usesSplitFrontend() const { return version != AsrModelVersion::tdtCtc110m; }

  // The required files of v2.
  static const ModelNames::NameSet& requiredModelNames();

  // The models root (MLModelConfigurationUtils::defaultModelsDirectory) / the version's cache
  // folder. Creates nothing.
  static std::filesystem::path defaultCacheDirectory(AsrModelVersion for_);

  // Throws AsrModelsError::loadingFailed("<platform name> requires iOS 18 / macOS 15 (its
  // compressed encoder uses iOS 18 Core ML ops). Use AsrModelVersion.ultra on iOS 17 / macOS 14.")
  // when the version needs a system newer than HostEnvironment's operatingSystemVersion().
  static void checkPlatformSupport(AsrModelVersion for_);

  // The files whose presence makes a version's cache folder complete (the vocabulary not
  // included). The precision matters to v3 only.
  static ModelNames::NameSet getRequiredModels(AsrModelVersion version,
                                               ParakeetEncoderPrecision encoderPrecision);

  // The version whose cache folder name (compared without case) is the folder's last component,
  // else the first whose name occurs anywhere in its path, trying tdtCtc110m, v2, v3, redux,
  // ultra, quillet25, quillet2, thistle3Clean, thistle3, tdtJa in that order; none otherwise.
  static std::optional<AsrModelVersion> inferredVersion(const std::filesystem::path& from);

  // The compute units to load a version's encoder with: `requested` when given, else
  // `configuration`. quillet25 runs its encoder on the GPU or, for diagnostics, the CPU only:
  // without a request it takes cpuOnly for a cpuOnly configuration and cpuAndGPU otherwise, and a
  // request of all or cpuAndNeuralEngine throws AsrModelsError::loadingFailed.
  static platform::MLComputeUnits resolvedEncoderComputeUnits(
      AsrModelVersion for_, platform::MLComputeUnits configuration,
      std::optional<platform::MLComputeUnits> requested);

  // Makes sure the version's set is complete in the cache folder `to` (defaultCacheDirectory when
  // none) and returns that folder. Returns at once when the folder is complete and current against
  // the revision marker; otherwise fetches and test-opens each model through ModelHub::loadModels,
  // one after another (the preprocessor on the CPU, the encoder with resolvedEncoderComputeUnits,
  // the rest with cpuAndNeuralEngine), then fetches the vocabulary directly when the hub left it out.
  // With `force`, the folder is removed first; the hub keeps its files in (parent of `to`) / the
  // cache folder name, so a `to` named otherwise is refused rather than emptied.
  // Throws AsrModelsError::loadingFailed for an unsupported system, a forbidden encoder request or a
  // forced folder of another name, each before anything is touched; ModelRegistry::Error for a hub
  // address that forms no URL; otherwise the hub's or the file system's error unchanged. Files
  // fetched before a failure stay in the cache.
  static std::filesystem::path download(const std::optional<std::filesystem::path>& to = std::nullopt,
                                        bool force = false, AsrModelVersion version = AsrModelVersion::v3,
                                        ParakeetEncoderPrecision encoderPrecision = ParakeetEncoderPrecision::int8,
                                        std::optional<platform::MLComputeUnits> encoderComputeUnits = std::nullopt,
                                        const ProgressHandler& progressHandler = {}, std::stop_token stop = {});

  // Whether (parent of `at`) / the version's cache folder holds the version's required models and
  // its vocabulary, complete. No network access; never throws.
  static bool modelsExist(const std::filesystem::path& at, AsrModelVersion version,
                          ParakeetEncoderPrecision encoderPrecision = ParakeetEncoderPrecision::int8);
  // The same for the version inferred from the folder (v3 when none) with the int8 encoder.
  static bool modelsExist(const std::filesystem::path& at);

  // Whether every model of the version's default cache folder opens on the CPU. Logs the first
  // failure as "Model validation failed: <label> - <description>". Never throws.
  static bool isModelValid(AsrModelVersion version,
                           ParakeetEncoderPrecision encoderPrecision = ParakeetEncoderPrecision::int8);

  // cpuAndNeuralEngine with low-precision GPU accumulation.
  static platform::MLModelConfiguration defaultConfiguration();
  // cpuOnly when the environment holds "CI" (read on every call), else cpuAndNeuralEngine;
  // low-precision GPU accumulation as `enableFP16` says.
  static platform::MLModelConfiguration optimizedConfiguration(bool enableFP16);
  // Options without preallocated outputs.
  static platform::MLPredictionOptions optimizedPredictionOptions();

  // Loads the version's set from the cache folder `from` through ModelHub::loadModels, which
  // fetches what is missing and purges and fetches a model that fails to open once: the front end,
  // the encoder ladder, the decoder, the joint, for tdtCtc110m an optional CTC head (its failures are
  // only logged), then the vocabulary. `configuration` defaults to defaultConfiguration().
  // Throws AsrModelsError::loadingFailed for an unsupported system or a forbidden encoder request
  // (before anything is loaded), for a model the hub did not produce, and for a vocabulary of
  // another shape or that does not parse; AsrModelsError::modelNotFound for a missing vocabulary;
  // the hub's errors unchanged.
  static AsrModels load(const std::filesystem::path& from,
                        const std::optional<platform::MLModelConfiguration>& configuration = std::nullopt,
                        AsrModelVersion version = AsrModelVersion::v3,
                        ParakeetEncoderPrecision encoderPrecision = ParakeetEncoderPrecision::int8,
                        std::optional<platform::MLComputeUnits> encoderComputeUnits = std::nullopt,
                        const ProgressHandler& progressHandler = {}, std::stop_token stop = {});

  // download (without force) into `to`, then load from the folder it returns, the encoder's compute
  // units resolved once up front. Throws as those two do.
  static AsrModels downloadAndLoad(const std::optional<std::filesystem::path>& to = std::nullopt,
                                   const std::optional<platform::MLModelConfiguration>& configuration = std::nullopt,
                                   AsrModelVersion version = AsrModelVersion::v3,
                                   ParakeetEncoderPrecision encoderPrecision = ParakeetEncoderPrecision::int8,
                                   std::optional<platform::MLComputeUnits> encoderComputeUnits = std::nullopt,
                                   const ProgressHandler& progressHandler = {}, std::stop_token stop = {});

  // load from defaultCacheDirectory(version) with the int8 encoder.
  static AsrModels loadFromCache(const std::optional<platform::MLModelConfiguration>& configuration = std::nullopt,
                                 AsrModelVersion version = AsrModelVersion::v3,
                                 std::optional<platform::MLComputeUnits> encoderComputeUnits = std::nullopt,
                                 const ProgressHandler& progressHandler = {}, std::stop_token stop = {});

  // load of v3 with the int8 encoder from `from`, or from v3's default cache folder.
  static AsrModels loadWithAutoRecovery(
      const std::optional<std::filesystem::path>& from = std::nullopt,
      const std::optional<platform::MLModelConfiguration>& configuration = std::nullopt,
      std::optional<platform::MLComputeUnits> encoderComputeUnits = std::nullopt,
      const ProgressHandler& progressHandler = {}, std::stop_token stop = {});

  // Loads a set whose files lie directly in `from`, without the hub and without a ladder; a
  // "CtcHead.mlmodelc" there is loaded too. Blocks for the loads.
  // Throws AsrModelsError::loadingFailed for an unsupported system, a forbidden encoder request or a
  // vocabulary lacking any id below the blank; AsrModelsError::modelNotFound for the vocabulary or
  // the first model that is not there; the runtime's error for a model that does not open
  // (UnsupportedModelFormatError for a bundle without model.onnx).
  static AsrModels loadLocal(const std::filesystem::path& from, AsrModelVersion version = AsrModelVersion::v3,
                             const std::optional<platform::MLModelConfiguration>& configuration = std::nullopt,
                             ParakeetEncoderPrecision encoderPrecision = ParakeetEncoderPrecision::int8,
                             std::optional<platform::MLComputeUnits> encoderComputeUnits = std::nullopt);

  // The "enc_<ms>ms" functions of the encoder bundle `at`, in ascending order of seconds, each
  // opened with `computeUnits`; a function as long as `defaultEncoder`'s "mel" input reuses that
  // model. Empty on systems older than 15.0. Never throws: a function that fails to open is logged
  // and left out.
  static std::vector<EncoderLadderFunction> loadEncoderLadder(
      const std::filesystem::path& at, platform::MLComputeUnits computeUnits,
      const std::shared_ptr<const platform::MLModel>& defaultEncoder);
};

}  // namespace tesselaudio
