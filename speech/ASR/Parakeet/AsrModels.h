#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ml/MLComputeUnits.h"
#include "platform/ml/MLModelConfiguration.h"
#include "speech/ASR/Parakeet/AsrModelVersion.h"
#include "speech/ASR/Parakeet/EncoderLadderFunction.h"
#include "speech/Shared/ModelNames.h"
#include "speech/Shared/ParakeetEncoderPrecision.h"

namespace platform {
class MLModel;
}

namespace tesselaudio {

// One loaded Parakeet model set, and the static rules of model sets: cache folders, required
// files, the minimum system, the version of a folder and the encoder's compute units. A value
// that engines share; the loaded models are immutable and safe from any thread.
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
};

}  // namespace tesselaudio
