#include "speech/ASR/Parakeet/AsrModelsError.h"

#include <utility>

namespace tesselaudio {

AsrModelsError::AsrModelsError(Case errorCase, std::string description, std::string message,
                               std::optional<std::filesystem::path> file)
    : platform::Error("AsrModelsError", kDomain, static_cast<int>(errorCase), std::move(description),
                      std::move(file), nullptr),
      message_(std::move(message)) {}

AsrModelsError AsrModelsError::modelNotFound(const std::string& name,
                                             const std::filesystem::path& location) {
  return AsrModelsError(Case::modelNotFound, "ASR model '" + name + "' not found at: " + location.string(),
                        name, location);
}

AsrModelsError AsrModelsError::downloadFailed(const std::string& message) {
  return AsrModelsError(Case::downloadFailed, "Failed to download ASR models: " + message, message);
}

AsrModelsError AsrModelsError::loadingFailed(const std::string& message) {
  return AsrModelsError(Case::loadingFailed, "Failed to load ASR models: " + message, message);
}

AsrModelsError AsrModelsError::modelCompilationFailed(const std::string& message) {
  return AsrModelsError(Case::modelCompilationFailed,
                        "Failed to compile ASR models: " + message +
                            ". Try deleting the models and re-downloading.",
                        message);
}

}  // namespace tesselaudio
