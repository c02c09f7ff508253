#include "speech/ASR/Paraformer/ParaformerModels.h"

#include <system_error>
#include <utility>

#include <fmt/format.h>

#include "platform/ml/MLComputeUnits.h"
#include "platform/ml/MLModel.h"
#include "platform/ml/MLModelConfiguration.h"
#include "speech/ASR/Shared/ModelFolder.h"
#include "speech/ASR/Shared/PieceVocabulary.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Shared/Download/DownloadConfig.h"
#include "speech/Shared/Download/ModelCache.h"
#include "speech/Shared/Download/ModelHub.h"
#include "speech/Shared/MLModelConfigurationUtils.h"
#include "speech/Shared/ModelNames.h"
#include "speech/Shared/Repo.h"

namespace tesselaudio {
namespace {

namespace fs = std::filesystem;
namespace Names = ModelNames::ParaformerZh;

const AppLogger& logger() {
  static const AppLogger instance("ParaformerModels");
  return instance;
}

fs::path modelsRootDirectory() { return MLModelConfigurationUtils::defaultModelsDirectory(); }

std::string bundle(std::string_view name) { return ModelFolder::bundleName(name); }

std::shared_ptr<const platform::MLModel> loadModel(std::string_view name, const fs::path& from,
                                                   const platform::MLModelConfiguration& configuration) {
  return ModelFolder::load(name, from, configuration, "Paraformer");
}

}  // namespace

ParaformerModels ParaformerModels::downloadAndLoad(ParaformerPrecision precision,
                                                   const ProgressHandler& progressHandler, std::stop_token stop) {
  const fs::path folder = cacheDirectory();
  // No variant: the catalogue's set brings the bundles of both precisions.
  return ModelHub::loadWithRecovery<ParaformerModels>(
      Repo::paraformerLargeZh, modelsRootDirectory(), requiredFiles(precision), std::nullopt,
      DownloadConfig::default_(), progressHandler, [&] { return load(folder, precision); }, std::move(stop));
}

fs::path ParaformerModels::download(ParaformerPrecision precision, bool force, const ProgressHandler& progressHandler,
                                    std::stop_token stop) {
  const fs::path folder = cacheDirectory();
  if (force) {
    std::error_code ignored;
    fs::remove_all(folder, ignored);
  } else if (modelsExist(folder, precision)) {
    logger().info("Paraformer models already present at: " + folder.string());
    return folder;
  }
  logger().info("Downloading Paraformer models from HuggingFace...");
  ModelHub::download(Repo::paraformerLargeZh, modelsRootDirectory(), std::nullopt, {}, DownloadConfig::default_(),
                     progressHandler, std::move(stop));
  logger().info("Successfully downloaded Paraformer models");
  return folder;
}

ParaformerModels ParaformerModels::load(const fs::path& from, ParaformerPrecision precision) {
  platform::MLModelConfiguration cpuOnly;
  cpuOnly.computeUnits = platform::MLComputeUnits::cpuOnly;
  platform::MLModelConfiguration neural;
  neural.computeUnits = platform::MLComputeUnits::cpuAndNeuralEngine;

  ParaformerModels models;
  models.preprocessor = loadModel(Names::preprocessor, from, cpuOnly);
  models.encoder = loadModel(precision.encoderName(), from, neural);
  models.cifAlphas = loadModel(Names::cifAlphas, from, neural);
  models.decoder = loadModel(precision.decoderName(), from, neural);
  models.vocabulary = PieceVocabulary::load(from / Names::vocabularyFile);
  logger().info(fmt::format("Loaded Paraformer (encoder/decoder: {}, vocab: {})", precision.rawValue(),
                            models.vocabulary.size()));
  return models;
}

bool ParaformerModels::modelsExist(const fs::path& at, ParaformerPrecision precision) {
  return ModelCache::isCacheComplete(at, requiredFiles(precision));
}

std::set<std::string> ParaformerModels::requiredFiles(ParaformerPrecision precision) {
  return {std::string(Names::preprocessorFile), bundle(precision.encoderName()), std::string(Names::cifAlphasFile),
          bundle(precision.decoderName()), std::string(Names::vocabularyFile)};
}

fs::path ParaformerModels::cacheDirectory() {
  return modelsRootDirectory() / Repo(Repo::paraformerLargeZh).folderName();
}

}  // namespace tesselaudio
