#pragma once

#include <filesystem>
#include <optional>

#include "platform/ml/MLComputeUnits.h"
#include "platform/ml/MLModelConfiguration.h"
#include "speech/Shared/Repo.h"

// The library's default model configuration and the models root folder, where model delivery keeps
// each repository's files: <application support>/TesselAudio/Models/<repository folder>. Plain
// functions, safe from any thread.
namespace tesselaudio::MLModelConfigurationUtils {

// The runtime's default configuration with `computeUnits` and low-precision accumulation on the GPU.
platform::MLModelConfiguration defaultConfiguration(platform::MLComputeUnits computeUnits);

// defaultConfiguration with CPU and Neural Engine when the environment has "CI" (any value, read on
// every call), all compute units otherwise.
platform::MLModelConfiguration environmentDefaultConfiguration();

// $XDG_DATA_HOME (by default ~/.local/share; $TMPDIR when there is no home at all) / "TesselAudio" /
// "Models", then the repository's folder name when one is given. Always absolute. Creates nothing.
std::filesystem::path defaultModelsDirectory(const std::optional<Repo>& for_ = std::nullopt);

}  // namespace tesselaudio::MLModelConfigurationUtils
