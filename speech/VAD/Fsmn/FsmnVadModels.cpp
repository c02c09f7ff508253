#include "speech/VAD/Fsmn/FsmnVadModels.h"

#include <optional>
#include <string>
#include <string_view>
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
  static const AppLogger instance("FsmnVadModels");
  return instance;
}

std::shared_ptr<const platform::MLModel> loadModel(std::string_view named, const fs::path& from,
                                                   platform::MLComputeUnits computeUnits) {
  platform::MLModelConfiguration configuration;
  configuration.computeUnits = computeUnits;
  const fs::path compiled = from / (std::string(named) + ".mlmodelc");
  if (fs::exists(compiled)) return ModelHub::openCompiledModel(compiled, configuration);
  const fs::path package = from / (std::string(named) + ".mlpackage");
  if (fs::exists(package)) return platform::MLModel::compileAndLoad(package, configuration);
  throw ASRError::processingFailed("FSMN-VAD model not found: " + std::string(named));
}

}  // namespace

FsmnVadModels::FsmnVadModels(std::shared_ptr<const platform::MLModel> preprocessor,
                             std::shared_ptr<const platform::MLModel> scorer)
    : preprocessor(std::move(preprocessor)), scorer(std::move(scorer)) {}

fs::path FsmnVadModels::download(bool force, const ProgressHandler& progressHandler, std::stop_token stop) {
  const fs::path root = MLModelConfigurationUtils::defaultModelsDirectory();
  const fs::path folder = root / Repo(Repo::fsmnVad).folderName();
  if (force) {
    std::error_code ignored;
    fs::remove_all(folder, ignored);
  } else if (modelsExist(folder)) {
    logger().info("FSMN-VAD models already present at: " + folder.string());
    return folder;
  }
  logger().info("Downloading FSMN-VAD models from HuggingFace...");
  ModelHub::download(Repo::fsmnVad, root, std::nullopt, {}, DownloadConfig::default_(), progressHandler,
                     std::move(stop));
  return folder;
}

FsmnVadModels FsmnVadModels::load(const fs::path& from) {
  auto preprocessor = loadModel(ModelNames::FsmnVad::preprocessor, from, platform::MLComputeUnits::cpuOnly);
  auto scorer = loadModel(ModelNames::FsmnVad::scorer, from, platform::MLComputeUnits::cpuAndNeuralEngine);
  logger().info("Loaded FSMN-VAD models");
  return FsmnVadModels(std::move(preprocessor), std::move(scorer));
}

FsmnVadModels FsmnVadModels::downloadAndLoad(const ProgressHandler& progressHandler, std::stop_token stop) {
  const fs::path folder = download(false, progressHandler, stop);
  platform::CancellationError::throwIfRequested(stop);
  return load(folder);
}

bool FsmnVadModels::modelsExist(const fs::path& at) {
  return fs::exists(at / ModelNames::FsmnVad::preprocessorFile) && fs::exists(at / ModelNames::FsmnVad::scorerFile);
}

}  // namespace tesselaudio
