#include "speech/Diarizer/Extraction/CampPlusModels.h"

#include <string>
#include <system_error>
#include <utility>

#include "platform/ml/MLComputeUnits.h"
#include "platform/ml/MLModelConfiguration.h"
#include "platform/sys/CancellationError.h"
#include "speech/ASR/Parakeet/ASRError.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Shared/Download/DownloadConfig.h"
#include "speech/Shared/Download/ModelHub.h"
#include "speech/Shared/MLModelConfigurationUtils.h"
#include "speech/Shared/ModelNames.h"
#include "speech/Shared/Repo.h"

namespace tesselaudio {
namespace {

namespace fs = std::filesystem;

const AppLogger& logger() {
  static const AppLogger instance("CampPlusModels");
  return instance;
}

std::shared_ptr<const platform::MLModel> loadModel(const fs::path& folder, std::string_view name,
                                                   platform::MLComputeUnits computeUnits) {
  platform::MLModelConfiguration configuration;
  configuration.computeUnits = computeUnits;
  const fs::path compiled = folder / (std::string(name) + ".mlmodelc");
  if (fs::exists(compiled)) return ModelHub::openCompiledModel(compiled, configuration);
  const fs::path package = folder / (std::string(name) + ".mlpackage");
  if (fs::exists(package)) {
    // The compiled copy lives in the temporary folder and goes away with the model.
    return ModelHub::openCompiledModel(platform::MLModel::compileModel(package), configuration);
  }
  throw ASRError::processingFailed("CAM++ model not found: " + std::string(name));
}

}  // namespace

CampPlusModels::CampPlusModels(std::shared_ptr<const platform::MLModel> preprocessor,
                               std::shared_ptr<const platform::MLModel> model)
    : preprocessor(std::move(preprocessor)), model(std::move(model)) {}

fs::path CampPlusModels::download(bool force, const ProgressHandler& progressHandler, std::stop_token stop) {
  const fs::path root = MLModelConfigurationUtils::defaultModelsDirectory();
  const fs::path folder = root / Repo(Repo::campPlus).folderName();
  if (force) {
    std::error_code ignored;
    fs::remove_all(folder, ignored);
  } else if (modelsExist(folder)) {
    logger().info("CAM++ models already present at: " + folder.string());
    return folder;
  }
  logger().info("Downloading CAM++ models from HuggingFace...");
  ModelHub::download(Repo::campPlus, root, std::nullopt, {}, DownloadConfig::default_(), progressHandler,
                     std::move(stop));
  return folder;
}

CampPlusModels CampPlusModels::load(const fs::path& from) {
  auto preprocessor = loadModel(from, ModelNames::CampPlus::preprocessor, platform::MLComputeUnits::cpuOnly);
  auto model = loadModel(from, ModelNames::CampPlus::model, platform::MLComputeUnits::cpuAndGPU);
  logger().info("Loaded CAM++ speaker-embedding models");
  return CampPlusModels(std::move(preprocessor), std::move(model));
}

CampPlusModels CampPlusModels::downloadAndLoad(const ProgressHandler& progressHandler, std::stop_token stop) {
  const fs::path folder = download(false, progressHandler, stop);
  platform::CancellationError::throwIfRequested(stop);
  return load(folder);
}

bool CampPlusModels::modelsExist(const fs::path& at) {
  return fs::exists(at / ModelNames::CampPlus::preprocessorFile) && fs::exists(at / ModelNames::CampPlus::modelFile);
}

}  // namespace tesselaudio
