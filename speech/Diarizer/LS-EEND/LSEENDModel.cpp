#include "speech/Diarizer/LS-EEND/LSEENDModel.h"

#include <cstring>
#include <string>
#include <system_error>

#include <fmt/format.h>

#include "platform/ml/MLModel.h"
#include "platform/ml/MLModelConfiguration.h"
#include "platform/sys/FileError.h"
#include "speech/Diarizer/LS-EEND/LSEENDError.h"
#include "speech/Diarizer/LS-EEND/LSEENDInput.h"
#include "speech/Shared/Download/ModelHub.h"
#include "speech/Shared/MLModelConfigurationUtils.h"

namespace tesselaudio {

namespace fs = std::filesystem;

namespace {

std::shared_ptr<platform::MLModel> openModel(const fs::path& modelURL, platform::MLComputeUnits computeUnits) {
  platform::MLModelConfiguration configuration;
  configuration.computeUnits = computeUnits;
  return ModelHub::openCompiledModel(modelURL, configuration);
}

LSEENDMetadata metadataOf(const platform::MLModel& model) {
  const auto& creatorDefined = model.modelDescription().metadata.creatorDefined;
  const auto config = creatorDefined.find("config");
  if (config == creatorDefined.end()) {
    throw LSEENDError::initializationFailed("No `config` found in model metadata");
  }
  auto metadata = LSEENDMetadata::fromJSON(config->second);
  metadata.checkLimits();
  return metadata;
}

fs::path modelsRoot(const std::optional<fs::path>& cacheDirectory) {
  const fs::path root = cacheDirectory ? *cacheDirectory : MLModelConfigurationUtils::defaultModelsDirectory();
  std::error_code error;
  fs::create_directories(root, error);
  if (error) throw platform::FileError::fromErrno("create", root, error.value());
  return root;
}

// A download that finds nothing still leaves its folder behind; an empty folder holds no model and
// must not stop the next load from downloading again.
bool holdsModel(const fs::path& folder) {
  std::error_code error;
  if (!fs::exists(folder, error)) return false;
  if (!fs::is_directory(folder, error)) return true;
  return fs::directory_iterator(folder, error) != fs::directory_iterator();
}

std::string shapeText(const std::vector<int64_t>& values) {
  return fmt::format("[{}]", fmt::join(values, ", "));
}

}  // namespace

const AppLogger& LSEENDModel::logger() {
  static const AppLogger logger("LS-EEND Model");
  return logger;
}

LSEENDModel::LSEENDModel(const fs::path& modelURL, platform::MLComputeUnits computeUnits)
    : model_(openModel(modelURL, computeUnits)) {
  metadata_ = metadataOf(*model_);
}

LSEENDModel::~LSEENDModel() = default;

std::unique_ptr<LSEENDModel> LSEENDModel::loadFromHuggingFace(ModelNames::LSEEND::Variant variant,
                                                              ModelNames::LSEEND::StepSize stepSize,
                                                              const std::optional<fs::path>& cacheDirectory,
                                                              platform::MLComputeUnits computeUnits,
                                                              const ProgressHandler& progressHandler,
                                                              std::stop_token stop) {
  const fs::path root = modelsRoot(cacheDirectory);
  const Repo repo = variant.repo();
  const fs::path localFolder = root / repo.folderName();
  const std::string fileName = variant.fileName(stepSize);
  const auto subPath = repo.subPath();
  const std::string relativePath = subPath ? *subPath + "/" + fileName : fileName;
  const fs::path modelFolder = localFolder / relativePath;

  if (!holdsModel(modelFolder)) {
    logger().info(fmt::format("Models not found in cache at {}; downloading {}\u2026", modelFolder.string(),
                              relativePath));
    ModelHub::download(repo, relativePath, localFolder, DownloadConfig::default_(), progressHandler, {},
                       std::move(stop));
  }
  if (!holdsModel(modelFolder)) {
    throw LSEENDError::initializationFailed(fmt::format(
        "HF download completed but mlmodelc missing at {}. Expected HF path: {}", modelFolder.string(), fileName));
  }
  return std::make_unique<LSEENDModel>(modelFolder, computeUnits);
}

std::vector<float> LSEENDModel::predict(LSEENDInput& input) const {
  std::scoped_lock guard(lock_);
  model_->prediction(input, input.predictionOptions());

  const int64_t frames = metadata_.chunkSize - input.warmupFrames();
  const int64_t speakers = metadata_.maxSpeakers;
  if (frames < 1 || speakers < 1) return {};

  const auto& probs = *input.outputProbs();
  const auto& strides = probs.strides();
  if (strides.empty() || strides.back() != 1) {
    throw LSEENDError::inferenceFailed(fmt::format(
        "Probs innermost stride must be 1. CoreML model produced strides: {}.", shapeText(strides)));
  }
  const int64_t rowStride = strides.size() > 1 ? strides[1] : speakers;
  const float* source = static_cast<const float*>(probs.dataPointer()) + input.warmupFrames() * rowStride;
  std::vector<float> result(static_cast<size_t>(frames * speakers));
  for (int64_t row = 0; row < frames; ++row) {
    std::memcpy(result.data() + row * speakers, source + row * rowStride, static_cast<size_t>(speakers) * sizeof(float));
  }
  return result;
}

}  // namespace tesselaudio
