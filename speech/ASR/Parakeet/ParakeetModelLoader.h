#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "platform/ml/MLComputeUnits.h"
#include "speech/Shared/Download/DownloadConfig.h"
#include "speech/Shared/Download/DownloadProgress.h"
#include "speech/Shared/Download/ModelHub.h"
#include "speech/Shared/Repo.h"

// The hub call through which the Parakeet model sets load their models: ModelHub::loadModels,
// unless a test has put a wrapper of it in place to make it misbehave. Safe from any thread.
namespace tesselaudio::ParakeetModelLoader {

using Function = std::function<ModelHub::ModelMap(
    Repo repo, const std::vector<std::string>& modelNames, const std::filesystem::path& directory,
    platform::MLComputeUnits computeUnits, const std::optional<std::string>& variant, const DownloadConfig& config,
    const ProgressHandler& progressHandler, std::stop_token stop)>;

// Calls the function in use (ModelHub::loadModels by default) and returns or throws what it does.
ModelHub::ModelMap loadModels(Repo repo, const std::vector<std::string>& modelNames,
                              const std::filesystem::path& directory, platform::MLComputeUnits computeUnits,
                              const std::optional<std::string>& variant, const DownloadConfig& config,
                              const ProgressHandler& progressHandler, std::stop_token stop);

// Puts `function` in use and returns the one it replaces (empty for the default); an empty
// function puts ModelHub::loadModels back.
Function replace(Function function);

}  // namespace tesselaudio::ParakeetModelLoader
