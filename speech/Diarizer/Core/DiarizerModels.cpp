#include "speech/Diarizer/Core/DiarizerModels.h"

#include <chrono>
#include <utility>
#include <vector>

#include "platform/sys/CancellationError.h"
#include "speech/Diarizer/Core/DiarizerError.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Shared/Download/DownloadConfig.h"
#include "speech/Shared/Download/ModelHub.h"
#include "speech/Shared/MLModelConfigurationUtils.h"
#include "speech/Shared/ModelNames.h"
#include "speech/Shared/Repo.h"

namespace tesselaudio {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const AppLogger& logger() {
  static const AppLogger instance("DiarizerModels");
  return instance;
}

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

std::set<std::string> DiarizerModels::requiredModelNames() {
  return ModelNames::Diarizer::requiredModels();
}

fs::path DiarizerModels::defaultModelsDirectory() {
  return MLModelConfigurationUtils::defaultModelsDirectory(Repo(Repo::diarizer));
}

platform::MLModelConfiguration DiarizerModels::defaultConfiguration() {
  return MLModelConfigurationUtils::environmentDefaultConfiguration();
}

DiarizerModels DiarizerModels::download(const std::optional<fs::path>& to,
                                        const std::optional<platform::MLModelConfiguration>& configuration,
                                        const ProgressHandler& progressHandler, std::stop_token stop) {
  logger().info("Checking for diarizer models...");
  const auto start = Clock::now();
  const fs::path directory = to.value_or(defaultModelsDirectory());
  const auto units = configuration.value_or(defaultConfiguration()).computeUnits;
  const auto names = requiredModelNames();
  const std::vector<std::string> modelNames(names.begin(), names.end());

  // A warm cache costs model delivery no step at which it would look at the stop.
  platform::CancellationError::throwIfRequested(stop);
  // Model delivery places the repository's folder under the models root itself.
  const auto models = ModelHub::loadModels(Repo::diarizer, modelNames, directory.parent_path(), units, std::nullopt,
                                           DownloadConfig::default_(), progressHandler, stop);
  platform::CancellationError::throwIfRequested(stop);

  const auto segmentation = models.find(std::string(ModelNames::Diarizer::segmentationFile));
  const auto embedding = models.find(std::string(ModelNames::Diarizer::embeddingFile));
  if (segmentation == models.end() || !segmentation->second || embedding == models.end() || !embedding->second) {
    throw DiarizerError::modelDownloadFailed();
  }
  return DiarizerModels{segmentation->second, embedding->second, secondsSince(start)};
}

DiarizerModels DiarizerModels::downloadIfNeeded(const std::optional<fs::path>& to,
                                                const std::optional<platform::MLModelConfiguration>& configuration,
                                                const ProgressHandler& progressHandler, std::stop_token stop) {
  return download(to, configuration, progressHandler, std::move(stop));
}

DiarizerModels DiarizerModels::load(const std::optional<fs::path>& from,
                                    const std::optional<platform::MLModelConfiguration>& configuration,
                                    const ProgressHandler& progressHandler, std::stop_token stop) {
  return download(from.value_or(defaultModelsDirectory()), configuration, progressHandler, std::move(stop));
}

DiarizerModels DiarizerModels::load(const fs::path& localSegmentationModel, const fs::path& localEmbeddingModel,
                                    const std::optional<platform::MLModelConfiguration>& configuration) {
  logger().info("Loading predownloaded models");
  const auto chosen = configuration.value_or(defaultConfiguration());
  const auto start = Clock::now();
  std::shared_ptr<const platform::MLModel> segmentation = ModelHub::openCompiledModel(localSegmentationModel, chosen);
  std::shared_ptr<const platform::MLModel> embedding = ModelHub::openCompiledModel(localEmbeddingModel, chosen);
  return DiarizerModels{std::move(segmentation), std::move(embedding), secondsSince(start)};
}

}  // namespace tesselaudio
