#include "speech/ASR/Parakeet/ParakeetModelLoader.h"

#include <mutex>
#include <utility>

namespace tesselaudio::ParakeetModelLoader {
namespace {

std::mutex mutex;
Function replacement;  // guarded by mutex

}  // namespace

ModelHub::ModelMap loadModels(Repo repo, const std::vector<std::string>& modelNames,
                              const std::filesystem::path& directory, platform::MLComputeUnits computeUnits,
                              const std::optional<std::string>& variant, const DownloadConfig& config,
                              const ProgressHandler& progressHandler, std::stop_token stop) {
  Function function;
  {
    std::scoped_lock lock(mutex);
    function = replacement;
  }
  if (function) return function(repo, modelNames, directory, computeUnits, variant, config, progressHandler, stop);
  return ModelHub::loadModels(repo, modelNames, directory, computeUnits, variant, config, progressHandler,
                              std::move(stop));
}

Function replace(Function function) {
  std::scoped_lock lock(mutex);
  std::swap(replacement, function);
  return function;
}

}  // namespace tesselaudio::ParakeetModelLoader
