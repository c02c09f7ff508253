#include "speech/ASR/Parakeet/ParakeetLanguageModels.h"

#include <exception>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "platform/ml/MLModel.h"
#include "platform/sys/FileIO.h"
#include "speech/ASR/Parakeet/AsrModelsError.h"
#include "speech/ASR/Parakeet/ParakeetModelFolder.h"
#include "speech/ASR/Parakeet/ParakeetModelLoader.h"
#include "speech/ASR/Parakeet/ParakeetVocabulary.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Shared/Download/DownloadConfig.h"
#include "speech/Shared/MLModelConfigurationUtils.h"

namespace tesselaudio::detail {
namespace {

namespace fs = std::filesystem;

// The encoder `useInt8Encoder` asks for: the int8 encoder, or the full-precision one when the set
// has it.
std::string chosenEncoder(const ParakeetLanguageSet& set, bool useInt8Encoder) {
  if (!set.supportsInt8Encoder || useInt8Encoder) return set.encoderFile;
  return set.fp32EncoderFile.value_or(set.encoderFile);
}

bool hasTwoEncoders(const ParakeetLanguageSet& set) { return set.supportsInt8Encoder && set.fp32EncoderFile; }

std::map<int, std::string> loadVocabulary(const ParakeetLanguageSet& set, const AppLogger& logger,
                                          const fs::path& from) {
  const fs::path file = from / set.vocabularyFile;
  if (!ParakeetModelFolder::exists(file)) throw AsrModelsError::modelNotFound("vocab.json", file);
  const std::string text = platform::readFile(file);
  std::optional<std::map<int, std::string>> vocabulary;
  try {
    vocabulary = ParakeetVocabulary::fromJson(text);
  } catch (const std::exception&) {
    vocabulary.reset();
  }
  if (!vocabulary) {
    throw AsrModelsError::loadingFailed("Failed to parse vocab.json - expected array or dictionary format");
  }
  logger.info(fmt::format("Loaded {} vocabulary with {} tokens from {}", set.displayName, vocabulary->size(),
                          file.string()));
  return std::move(*vocabulary);
}

}  // namespace

fs::path defaultCacheDirectory(const ParakeetLanguageSet& set) {
  return MLModelConfigurationUtils::defaultModelsDirectory(set.repo);
}

platform::MLModelConfiguration defaultLanguageConfiguration() {
  platform::MLModelConfiguration configuration;
  configuration.allowLowPrecisionAccumulationOnGPU = true;
  configuration.computeUnits = platform::MLComputeUnits::all;
  return configuration;
}

bool modelsExist(const ParakeetLanguageSet& set, const fs::path& at) {
  std::vector<std::string> required = {set.preprocessorFile, set.decoderFile};
  if (hasTwoEncoders(set)) {
    if (!ParakeetModelFolder::exists(at / set.encoderFile) && !ParakeetModelFolder::exists(at / *set.fp32EncoderFile)) {
      return false;
    }
  } else {
    required.push_back(set.encoderFile);
  }
  if (set.jointFile) required.push_back(*set.jointFile);
  required.push_back(set.vocabularyFile);
  for (const std::string& file : required) {
    if (!ParakeetModelFolder::exists(at / file)) return false;
  }
  return true;
}

fs::path download(const ParakeetLanguageSet& set, const std::optional<fs::path>& to, bool useInt8Encoder,
                  bool downloadBothEncoders, bool force, const ProgressHandler& progressHandler,
                  std::stop_token stop) {
  const AppLogger logger(set.logCategory);
  const fs::path folder = ParakeetModelFolder::folderPath(to.value_or(defaultCacheDirectory(set)));
  logger.info("Preparing " + set.displayName + " models at: " + folder.string());
  if (force) {
    ParakeetModelFolder::removeForForcedDownload(folder, set.repo.folderName());
  } else if (modelsExist(set, folder)) {
    logger.info(set.displayName + " models already present at: " + folder.string());
    return folder;
  }

  const std::string encoder = chosenEncoder(set, useInt8Encoder);
  std::vector<std::string> files = {set.preprocessorFile, set.decoderFile, encoder};
  if (hasTwoEncoders(set) && downloadBothEncoders) {
    files.push_back(encoder == set.encoderFile ? *set.fp32EncoderFile : set.encoderFile);
  }
  if (set.jointFile) files.push_back(*set.jointFile);
  ParakeetModelLoader::loadModels(set.repo, files, folder.parent_path(), platform::MLComputeUnits::all, std::nullopt,
                                  DownloadConfig::default_(), progressHandler, std::move(stop));
  logger.info("Successfully downloaded " + set.displayName + " models");
  return folder;
}

ParakeetLanguageModelsData load(const ParakeetLanguageSet& set, const fs::path& from, bool useInt8Encoder,
                               const std::optional<platform::MLModelConfiguration>& configuration,
                               const ProgressHandler& progressHandler, std::stop_token stop) {
  const AppLogger logger(set.logCategory);
  const fs::path folder = ParakeetModelFolder::folderPath(from);
  logger.info("Loading " + set.displayName + " models from: " + folder.string());
  ParakeetLanguageModelsData loaded;
  loaded.blankId = set.blankId;
  loaded.configuration = configuration.value_or(defaultLanguageConfiguration());

  const std::string encoder = chosenEncoder(set, useInt8Encoder);
  std::vector<std::string> names = {set.preprocessorFile, encoder, set.decoderFile};
  if (set.jointFile) names.push_back(*set.jointFile);
  auto models = ParakeetModelLoader::loadModels(set.repo, names, folder.parent_path(),
                                                loaded.configuration.computeUnits, std::nullopt,
                                                DownloadConfig::default_(), progressHandler, std::move(stop));
  const auto take = [&models](const std::string& name) -> std::shared_ptr<const platform::MLModel> {
    const auto found = models.find(name);
    return found == models.end() ? nullptr : found->second;
  };
  loaded.preprocessor = take(set.preprocessorFile);
  loaded.encoder = take(encoder);
  loaded.decoder = take(set.decoderFile);
  if (!loaded.preprocessor || !loaded.encoder || !loaded.decoder) {
    throw AsrModelsError::loadingFailed("Failed to load " + set.displayName +
                                        " models (preprocessor, encoder, or decoder missing)");
  }
  if (set.jointFile) {
    loaded.joint = take(*set.jointFile);
    if (!loaded.joint) throw AsrModelsError::loadingFailed("Failed to load " + set.displayName + " joint model");
  }
  const std::string label = set.supportsInt8Encoder ? (useInt8Encoder ? "int8" : "fp32") : "default";
  logger.info("Loaded preprocessor, encoder (" + label + "), decoder" + (loaded.joint ? ", and joint" : ""));

  loaded.vocabulary = loadVocabulary(set, logger, folder);
  logger.info(fmt::format("Successfully loaded {} models with {} tokens", set.displayName, loaded.vocabulary.size()));
  return loaded;
}

}  // namespace tesselaudio::detail
