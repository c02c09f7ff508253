#include "speech/ASR/SenseVoice/SenseVoiceModels.h"

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
namespace Names = ModelNames::SenseVoice;

const AppLogger& logger() {
  static const AppLogger instance("SenseVoiceModels");
  return instance;
}

fs::path modelsRootDirectory() { return MLModelConfigurationUtils::defaultModelsDirectory(); }

std::string bundle(std::string_view name) { return ModelFolder::bundleName(name); }

std::shared_ptr<const platform::MLModel> loadModel(std::string_view name, const fs::path& from,
                                                   const platform::MLModelConfiguration& configuration) {
  return ModelFolder::load(name, from, configuration, "SenseVoice");
}

}  // namespace

SenseVoiceModels SenseVoiceModels::downloadAndLoad(SenseVoiceEncoderPrecision precision,
                                                   const ProgressHandler& progressHandler, std::stop_token stop) {
  const fs::path folder = cacheDirectory();
  // The precision as the variant: the catalogue's set then holds only this precision's encoder.
  return ModelHub::loadWithRecovery<SenseVoiceModels>(
      Repo::senseVoiceSmall, modelsRootDirectory(), requiredFiles(precision), std::string(precision.rawValue()),
      DownloadConfig::default_(), progressHandler, [&] { return load(folder, precision); }, std::move(stop));
}

fs::path SenseVoiceModels::download(SenseVoiceEncoderPrecision precision, bool force,
                                    const ProgressHandler& progressHandler, std::stop_token stop) {
  const fs::path folder = cacheDirectory();
  if (force) {
    std::error_code ignored;
    fs::remove_all(folder, ignored);
  } else if (modelsExist(folder, precision)) {
    logger().info("SenseVoice models already present at: " + folder.string());
    return folder;
  }
  logger().info("Downloading SenseVoice models from HuggingFace...");
  ModelHub::download(Repo::senseVoiceSmall, modelsRootDirectory(), std::string(precision.rawValue()), {},
                     DownloadConfig::default_(), progressHandler, std::move(stop));
  logger().info("Successfully downloaded SenseVoice models");
  return folder;
}

SenseVoiceModels SenseVoiceModels::load(const fs::path& from, SenseVoiceEncoderPrecision precision) {
  platform::MLModelConfiguration cpuOnly;
  cpuOnly.computeUnits = platform::MLComputeUnits::cpuOnly;
  platform::MLModelConfiguration encoderConfiguration;
  encoderConfiguration.computeUnits = precision == SenseVoiceEncoderPrecision::fp32
                                          ? platform::MLComputeUnits::all
                                          : platform::MLComputeUnits::cpuAndNeuralEngine;

  SenseVoiceModels models;
  models.preprocessor = loadModel(Names::preprocessor, from, cpuOnly);
  models.encoder = loadModel(precision.encoderName(), from, encoderConfiguration);
  models.vocabulary = PieceVocabulary::load(from / Names::vocabularyFile);
  logger().info(fmt::format("Loaded SenseVoice (encoder: {}, vocab: {})", precision.rawValue(),
                            models.vocabulary.size()));
  return models;
}

bool SenseVoiceModels::modelsExist(const fs::path& at, SenseVoiceEncoderPrecision precision) {
  return ModelCache::isCacheComplete(at, requiredFiles(precision));
}

std::set<std::string> SenseVoiceModels::requiredFiles(SenseVoiceEncoderPrecision precision) {
  return {std::string(Names::preprocessorFile), bundle(precision.encoderName()), std::string(Names::vocabularyFile)};
}

fs::path SenseVoiceModels::cacheDirectory() {
  return modelsRootDirectory() / Repo(Repo::senseVoiceSmall).folderName();
}

}  // namespace tesselaudio
