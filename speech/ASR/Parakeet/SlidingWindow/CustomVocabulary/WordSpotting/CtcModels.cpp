#include "speech/ASR/Parakeet/SlidingWindow/CustomVocabulary/WordSpotting/CtcModels.h"

#include <charconv>
#include <string_view>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "platform/ml/MLComputeUnits.h"
#include "platform/ml/MLModel.h"
#include "platform/sys/CancellationError.h"
#include "platform/sys/FileIO.h"
#include "speech/ASR/Parakeet/AsrModelsError.h"
#include "speech/ASR/Parakeet/SlidingWindow/CustomVocabulary/WordSpotting/CtcTokenizer.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Shared/Download/DownloadConfig.h"
#include "speech/Shared/Download/ModelHub.h"
#include "speech/Shared/MLModelConfigurationUtils.h"
#include "speech/Shared/ModelNames.h"

namespace tesselaudio {
namespace {

namespace fs = std::filesystem;
namespace Names = ModelNames::CTC;

const AppLogger& logger() {
  static const AppLogger instance("CtcModels");
  return instance;
}

platform::MLModelConfiguration configurationFor(platform::MLComputeUnits computeUnits) {
  platform::MLModelConfiguration configuration;
  configuration.computeUnits = computeUnits;
  configuration.allowLowPrecisionAccumulationOnGPU = true;
  return configuration;
}

std::string_view computeUnitsName(platform::MLComputeUnits units) {
  switch (units) {
    case platform::MLComputeUnits::cpuOnly:
      return "cpuOnly";
    case platform::MLComputeUnits::cpuAndGPU:
      return "cpuAndGPU";
    case platform::MLComputeUnits::all:
      return "all";
    case platform::MLComputeUnits::cpuAndNeuralEngine:
      return "cpuAndNeuralEngine";
  }
  return "unknown";
}

// One model through the hub, with its one recovery; the hub places it in <root>/<folder name>.
std::shared_ptr<const platform::MLModel> fetchModel(CtcModelVariant variant, std::string_view name,
                                                    const fs::path& modelsRoot, platform::MLComputeUnits units,
                                                    std::stop_token stop) {
  ModelHub::ModelMap models = ModelHub::loadModels(variant.repo(), {std::string(name)}, modelsRoot, units,
                                                   std::nullopt, DownloadConfig::default_(), {}, std::move(stop));
  auto found = models.find(std::string(name));
  if (found == models.end() || !found->second) {
    throw AsrModelsError::loadingFailed("Failed to load CTC MelSpectrogram or AudioEncoder models");
  }
  return found->second;
}

// The hub's completeness check covers the two bundles only: without this a lost "vocab.json" would
// never come back, and every load would fail on it.
void fetchMissingVocabulary(CtcModelVariant variant, const fs::path& modelsRoot, std::stop_token stop) {
  if (ModelHub::offlineMode() || fs::exists(modelsRoot / variant.repo().folderName() / Names::vocabularyPath)) return;
  ModelHub::download(variant.repo(), modelsRoot, std::nullopt, {std::string(Names::vocabularyPath)},
                     DownloadConfig::default_(), {}, std::move(stop));
}

std::shared_ptr<const platform::MLModel> loadDirectModel(std::string_view name, const fs::path& at,
                                                         const platform::MLModelConfiguration& configuration) {
  if (!fs::exists(at)) throw AsrModelsError::modelNotFound(std::string(name), at);
  std::shared_ptr<const platform::MLModel> model;
  try {
    model = ModelHub::openCompiledModel(at, configuration);
  } catch (const platform::CancellationError&) {
    throw;
  } catch (const std::exception&) {
    logger().info("Direct load failed, attempting compilation...");
    return ModelHub::openCompiledModel(platform::MLModel::compileModel(at), configuration);
  }
  logger().info(fmt::format("Loaded {} directly from: {}", name, at.string()));
  return model;
}

// "+7" and "-1" read (one sign at most); anything with other characters or beyond 64 bits does not.
std::optional<std::int64_t> decimalKey(std::string_view key) {
  const bool plus = !key.empty() && key.front() == '+';
  if (plus) key.remove_prefix(1);
  const std::string_view digits = !plus && !key.empty() && key.front() == '-' ? key.substr(1) : key;
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
  std::int64_t value = 0;
  auto [end, error] = std::from_chars(key.data(), key.data() + key.size(), value);
  if (error != std::errc() || end != key.data() + key.size()) return std::nullopt;
  return value;
}

}  // namespace

fs::path CtcModels::defaultCacheDirectory(CtcModelVariant for_) {
  fs::path folder = MLModelConfigurationUtils::defaultModelsDirectory(for_.repo());
  if (!folder.is_absolute()) throw CtcTokenizer::Error::applicationSupportNotFound();
  return folder;
}

platform::MLModelConfiguration CtcModels::defaultConfiguration() {
  return configurationFor(platform::MLComputeUnits::cpuAndNeuralEngine);
}

platform::MLModelConfiguration CtcModels::melSpectrogramConfiguration() {
  return configurationFor(platform::MLComputeUnits::cpuOnly);
}

bool CtcModels::modelsExist(const fs::path& at) {
  for (const std::string& name : Names::requiredModels()) {
    if (!fs::exists(at / name)) return false;
  }
  return fs::exists(at / Names::vocabularyPath);
}

fs::path CtcModels::download(const std::optional<fs::path>& to, CtcModelVariant variant, bool force,
                             std::stop_token stop) {
  const fs::path target = to ? *to : defaultCacheDirectory(variant);
  logger().info(fmt::format("Preparing CTC models ({}) at: {}", variant.displayName(), target.string()));
  const fs::path modelsRoot = target.parent_path();
  if (force) {
    // The hub refills <root>/<folder name>; removing the target itself could delete an unrelated
    // folder that merely sits where the caller pointed.
    ModelHub::clearCache(variant.repo(), modelsRoot);
  } else if (modelsExist(target)) {
    logger().info("CTC models already present at: " + target.string());
    return target;
  }
  fetchModel(variant, Names::melSpectrogramPath, modelsRoot, melSpectrogramConfiguration().computeUnits, stop);
  fetchModel(variant, Names::audioEncoderPath, modelsRoot, defaultConfiguration().computeUnits, stop);
  fetchMissingVocabulary(variant, modelsRoot, std::move(stop));
  logger().info(fmt::format("Successfully downloaded CTC models ({})", variant.displayName()));
  return target;
}

CtcModels CtcModels::load(const fs::path& from, CtcModelVariant variant, std::stop_token stop) {
  logger().info(fmt::format("Loading CTC models ({}) from: {}", variant.displayName(), from.string()));
  const fs::path modelsRoot = from.parent_path();
  CtcModels models;
  models.configuration = defaultConfiguration();
  models.variant = variant;
  models.melSpectrogram =
      fetchModel(variant, Names::melSpectrogramPath, modelsRoot, melSpectrogramConfiguration().computeUnits, stop);
  models.encoder = fetchModel(variant, Names::audioEncoderPath, modelsRoot, models.configuration.computeUnits, stop);
  fetchMissingVocabulary(variant, modelsRoot, std::move(stop));
  // The vocabulary must belong to the models just loaded, wherever the caller pointed.
  models.vocabulary = loadVocabulary(modelsRoot / variant.repo().folderName());
  logger().info(fmt::format("Successfully loaded CTC models ({}) and vocabulary", variant.displayName()));
  return models;
}

CtcModels CtcModels::downloadAndLoad(const std::optional<fs::path>& to, CtcModelVariant variant,
                                     std::stop_token stop) {
  const fs::path folder = download(to, variant, false, stop);
  return load(folder, variant, std::move(stop));
}

CtcModels CtcModels::loadDirect(const fs::path& from, CtcModelVariant variant, std::stop_token stop) {
  logger().info("Loading CTC models directly from: " + from.string());
  CtcModels models;
  models.configuration = defaultConfiguration();
  models.variant = variant;
  models.melSpectrogram =
      loadDirectModel(Names::melSpectrogram, from / Names::melSpectrogramPath, melSpectrogramConfiguration());
  platform::CancellationError::throwIfRequested(stop);
  models.encoder = loadDirectModel(Names::audioEncoder, from / Names::audioEncoderPath, models.configuration);
  platform::CancellationError::throwIfRequested(stop);
  logger().info(fmt::format("CTC encoder loaded with computeUnits: {} (MelSpectrogram: cpuOnly)",
                            computeUnitsName(models.configuration.computeUnits)));
  models.vocabulary = loadVocabulary(from);
  logger().info(fmt::format("Successfully loaded CTC models directly ({} vocab tokens)", models.vocabulary.size()));
  return models;
}

std::map<std::int64_t, std::string> CtcModels::loadVocabulary(const fs::path& from) {
  const fs::path file = from / Names::vocabularyPath;
  if (!fs::exists(file)) throw AsrModelsError::modelNotFound(std::string(Names::vocabularyPath), file);
  const std::string text = platform::readFile(file);
  const auto invalid = [&] { return AsrModelsError::loadingFailed("Invalid CTC vocabulary: " + file.string()); };
  // Without entries the spotter would take id 0 for the blank, so an unusable file is an error.
  nlohmann::json json = nlohmann::json::parse(text, nullptr, false);
  if (!json.is_object()) throw invalid();
  std::map<std::int64_t, std::string> vocabulary;
  for (const auto& [key, value] : json.items()) {
    if (!value.is_string()) throw invalid();
    if (std::optional<std::int64_t> id = decimalKey(key)) vocabulary[*id] = value.get<std::string>();
  }
  if (vocabulary.empty()) throw invalid();
  logger().info(fmt::format("Loaded CTC vocabulary with {} tokens from {}", vocabulary.size(), file.string()));
  return vocabulary;
}

}  // namespace tesselaudio
