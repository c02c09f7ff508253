#include "speech/ASR/Parakeet/AsrModels.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <exception>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include <fmt/format.h>

#include "platform/ml/MLModel.h"
#include "platform/sys/Environment.h"
#include "platform/sys/FileError.h"
#include "platform/sys/FileIO.h"
#include "platform/sys/HostEnvironment.h"
#include "platform/text/DoubleText.h"
#include "platform/text/Graphemes.h"
#include "speech/ASR/Parakeet/AsrModelsError.h"
#include "speech/ASR/Parakeet/ParakeetModelFolder.h"
#include "speech/ASR/Parakeet/ParakeetModelLoader.h"
#include "speech/ASR/Parakeet/ParakeetVocabulary.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Shared/Download/ModelCache.h"
#include "speech/Shared/Download/ModelHub.h"
#include "speech/Shared/Download/ModelRegistry.h"
#include "speech/Shared/Download/RetryPolicy.h"
#include "speech/Shared/MLModelConfigurationUtils.h"

namespace tesselaudio {
namespace {

namespace fs = std::filesystem;

using platform::MLComputeUnits;
using platform::MLModelConfiguration;

// More specific folder names come before the names they contain.
constexpr std::array<AsrModelVersion, 10> kInferenceOrder = {
    AsrModelVersion::tdtCtc110m, AsrModelVersion::v2,       AsrModelVersion::v3,
    AsrModelVersion::redux,      AsrModelVersion::ultra,    AsrModelVersion::quillet25,
    AsrModelVersion::quillet2,   AsrModelVersion::thistle3Clean, AsrModelVersion::thistle3,
    AsrModelVersion::tdtJa};

constexpr platform::HostEnvironment::OperatingSystemVersion kCompressedEncoderSystem{15, 0, 0};

std::string lowercased(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
  return text;
}

std::string cacheFolderName(AsrModelVersion version) { return lowercased(version.repo().folderName()); }

const AppLogger& logger() {
  static const AppLogger instance("AsrModels");
  return instance;
}

// A model file and the compute units it is loaded with.
struct ModelSpec {
  std::string fileName;
  MLComputeUnits computeUnits;
};

std::string computeUnitsName(MLComputeUnits units) {
  switch (units) {
    case MLComputeUnits::cpuOnly:
      return "cpuOnly";
    case MLComputeUnits::cpuAndGPU:
      return "cpuAndGPU";
    case MLComputeUnits::all:
      return "all";
    case MLComputeUnits::cpuAndNeuralEngine:
      return "cpuAndNeuralEngine";
  }
  return fmt::format("unknown({})", static_cast<int>(units));
}

// Where the hub keeps the version's files when `folder` is handed to it as a target folder.
fs::path repositoryFolder(const fs::path& folder, AsrModelVersion version) {
  return ParakeetModelFolder::folderPath(folder).parent_path() / version.repo().folderName();
}

std::string expectedRevision(AsrModelVersion version) {
  const Repo repo = version.repo();
  return ModelRegistry::mapRevision(repo.remotePath(), repo.revision());
}

std::string trimmed(std::string_view text) {
  constexpr std::string_view kBlanks = " \t\n\r\v\f";
  const auto first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return std::string(text.substr(first, text.find_last_not_of(kBlanks) - first + 1));
}

// Whether the repository folder's revision marker ties it to `revision`; without a readable
// marker only "main" is current.
bool markerIsCurrent(const fs::path& repository, const std::string& revision) {
  std::string marker;
  try {
    marker = platform::readFile(repository / ModelCache::kRevisionMarkerName);
  } catch (const platform::Error&) {
    return revision == "main";
  }
  if (!platform::text::isValidUtf8(marker)) return false;
  return trimmed(marker) == revision;
}

std::vector<ModelSpec> downloadList(AsrModelVersion version, ParakeetEncoderPrecision encoderPrecision,
                                    std::optional<MLComputeUnits> encoderComputeUnits) {
  constexpr MLComputeUnits kDefaultUnits = MLComputeUnits::cpuAndNeuralEngine;
  if (version.hasFusedEncoder()) {
    return {{std::string(version.preprocessorFile()), kDefaultUnits},
            {std::string(version.decoderFile()), kDefaultUnits},
            {std::string(version.jointFile()), kDefaultUnits}};
  }
  const MLComputeUnits encoderUnits =
      AsrModels::resolvedEncoderComputeUnits(version, kDefaultUnits, encoderComputeUnits);
  return {{std::string(version.preprocessorFile()), MLComputeUnits::cpuOnly},
          {std::string(*version.encoderFile(encoderPrecision)), encoderUnits},
          {std::string(version.decoderFile()), kDefaultUnits},
          {std::string(version.jointFile()), kDefaultUnits}};
}

// The hub's file list leaves a repository's top-level vocabulary out when the models sit in a
// sub-folder of it, so the vocabulary is fetched on its own.
void ensureVocabularyDownloaded(AsrModelVersion version, const fs::path& targetDir, std::stop_token stop) {
  const std::string name(version.vocabularyFile());
  const fs::path location = repositoryFolder(targetDir, version) / name;
  if (ParakeetModelFolder::exists(location)) return;
  logger().info("Vocabulary " + name + " missing after model download; fetching directly");
  const platform::Url url = ModelRegistry::resolveModel(version.repo().remotePath(), name, expectedRevision(version));
  const std::string bytes = ModelHub::fetchFile(url, name, 4, 1.0, std::move(stop));
  std::error_code error;
  fs::create_directories(location.parent_path(), error);
  if (error) throw platform::FileError::fromErrno("create directory", location.parent_path(), error.value());
  platform::writeFileAtomically(location, bytes);
  logger().info(fmt::format("Downloaded vocabulary {} ({} KB)", name, bytes.size() / 1024));
}

std::map<int, std::string> parseVocabulary(const fs::path& at) {
  if (!ParakeetModelFolder::exists(at)) {
    logger().warning("Vocabulary file not found at " + at.string() +
                     ". Please ensure the vocab file is downloaded with the models.");
    throw AsrModelsError::modelNotFound(at.filename().string(), at);
  }
  try {
    auto vocabulary = ParakeetVocabulary::fromJson(platform::readFile(at));
    if (!vocabulary) throw AsrModelsError::loadingFailed("Vocabulary file has unexpected format");
    logger().info(fmt::format("Loaded vocabulary with {} tokens from {}", vocabulary->size(), at.string()));
    return std::move(*vocabulary);
  } catch (const AsrModelsError&) {
    throw;
  } catch (const std::exception&) {
    logger().error("Failed to load or parse vocabulary file at " + at.string() + ": " +
                   platform::Error::messageOf(std::current_exception()));
    throw AsrModelsError::loadingFailed("Vocabulary parsing failed");
  }
}

std::map<int, std::string> loadVocabulary(const fs::path& from, AsrModelVersion version) {
  return parseVocabulary(repositoryFolder(from, version) / std::string(version.vocabularyFile()));
}

// The one model of `fileName` through the hub, or null when the hub produced none.
std::shared_ptr<const platform::MLModel> loadThroughHub(Repo repo, const std::string& fileName, const fs::path& root,
                                                        MLComputeUnits units, const std::optional<std::string>& variant,
                                                        const ProgressHandler& progressHandler, std::stop_token stop) {
  auto models = ParakeetModelLoader::loadModels(repo, {fileName}, root, units, variant, DownloadConfig::default_(),
                                                progressHandler, std::move(stop));
  const auto found = models.find(fileName);
  return found == models.end() ? nullptr : found->second;
}

// The front end: the preprocessor on the CPU and the encoder for a split front end, the
// preprocessor alone with the configuration's units for the fused one.
std::vector<ModelSpec> frontEndList(AsrModelVersion version, ParakeetEncoderPrecision encoderPrecision,
                                    MLComputeUnits configured, std::optional<MLComputeUnits> encoderComputeUnits) {
  if (version.hasFusedEncoder()) return {{std::string(version.preprocessorFile()), configured}};
  return {{std::string(version.preprocessorFile()), MLComputeUnits::cpuOnly},
          {std::string(*version.encoderFile(encoderPrecision)),
           AsrModels::resolvedEncoderComputeUnits(version, configured, encoderComputeUnits)}};
}

std::shared_ptr<const platform::MLModel> loadCtcHead(const fs::path& root, const MLModelConfiguration& configuration,
                                                     const ProgressHandler& progressHandler, std::stop_token stop) {
  const std::string file(ModelNames::ASR::ctcHeadFile);
  const fs::path local = root / AsrModelVersion(AsrModelVersion::tdtCtc110m).repo().folderName() / file;
  if (ParakeetModelFolder::exists(local)) {
    try {
      MLModelConfiguration headConfiguration;
      headConfiguration.computeUnits = configuration.computeUnits;
      auto head = ModelHub::openCompiledModel(local, headConfiguration);
      logger().info("[Beta] Loaded CTC head model from local directory");
      return head;
    } catch (const std::exception&) {
      logger().warning("CTC head model found but failed to load: " + local.string());
    }
  }
  try {
    auto head = loadThroughHub(Repo::parakeetCtc110m, file, root, configuration.computeUnits, std::nullopt,
                               progressHandler, std::move(stop));
    if (head) logger().info("[Beta] Loaded CTC head model from HF repo");
    return head;
  } catch (...) {
    // The head is optional, but a stop the caller asked for still ends the load.
    const std::exception_ptr error = std::current_exception();
    if (RetryPolicy::isCancellation(error)) throw;
    logger().warning("CTC head model not available: " + platform::Error::messageOf(error));
    return nullptr;
  }
}

// The milliseconds of a ladder function's name "enc_<ms>ms"; none for any other name.
std::optional<int64_t> ladderMilliseconds(std::string_view name) {
  if (name.size() <= 6 || !name.starts_with("enc_") || !name.ends_with("ms")) return std::nullopt;
  std::string_view digits = name.substr(4, name.size() - 6);
  if (digits.starts_with('+')) digits.remove_prefix(1);
  if (digits.empty() || digits.starts_with('+')) return std::nullopt;
  int64_t ms = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), ms);
  if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return ms;
}

constexpr int64_t kUnknownFrames = -1;

// The last dimension of the model's "mel" input, when it declares one.
std::optional<int64_t> melFrames(const platform::MLModel& model) {
  const auto& inputs = model.modelDescription().inputDescriptionsByName;
  const auto mel = inputs.find("mel");
  if (mel == inputs.end() || !mel->second.multiArrayConstraint) return std::nullopt;
  const auto& shape = mel->second.multiArrayConstraint->shape;
  if (shape.empty()) return std::nullopt;
  return shape.back();
}

void logLadder(const std::vector<EncoderLadderFunction>& ladder) {
  std::string line = "Encoder ladder: ";
  for (std::size_t i = 0; i < ladder.size(); ++i) {
    if (i > 0) line += ", ";
    line += platform::text::shortestDouble(ladder[i].seconds) + " s";
  }
  logger().info(line);
}

}  // namespace

const ModelNames::NameSet& AsrModels::requiredModelNames() { return ModelNames::ASR::requiredModels(); }

std::filesystem::path AsrModels::defaultCacheDirectory(AsrModelVersion for_) {
  return MLModelConfigurationUtils::defaultModelsDirectory(for_.repo());
}

void AsrModels::checkPlatformSupport(AsrModelVersion for_) {
  const auto platformName = for_.macOS15PlatformName();
  if (!platformName) return;
  if (platform::HostEnvironment::current()->operatingSystemVersion() >= kCompressedEncoderSystem) return;
  throw AsrModelsError::loadingFailed(
      std::string(*platformName) +
      " requires iOS 18 / macOS 15 (its compressed encoder uses iOS 18 Core ML ops). "
      "Use AsrModelVersion.ultra on iOS 17 / macOS 14.");
}

ModelNames::NameSet AsrModels::getRequiredModels(AsrModelVersion version,
                                                 ParakeetEncoderPrecision encoderPrecision) {
  switch (version) {
    case AsrModelVersion::v2:
      return ModelNames::ASR::requiredModels();
    case AsrModelVersion::v3:
      return ModelNames::ASR::requiredModelsV3(encoderPrecision);
    case AsrModelVersion::tdtCtc110m:
      return ModelNames::ASR::requiredModelsFused();
    case AsrModelVersion::tdtJa:
      return ModelNames::TDTJa::requiredModels();
    default:
      return ModelNames::ASR::requiredModelsV3(ParakeetEncoderPrecision::int8);
  }
}

std::optional<AsrModelVersion> AsrModels::inferredVersion(const std::filesystem::path& from) {
  const std::string name = lowercased(ParakeetModelFolder::folderPath(from).filename().string());
  for (AsrModelVersion version : kInferenceOrder) {
    if (cacheFolderName(version) == name) return version;
  }
  const std::string path = lowercased(from.string());
  for (AsrModelVersion version : kInferenceOrder) {
    if (path.find(cacheFolderName(version)) != std::string::npos) return version;
  }
  return std::nullopt;
}

MLComputeUnits AsrModels::resolvedEncoderComputeUnits(AsrModelVersion for_, MLComputeUnits configuration,
                                                      std::optional<MLComputeUnits> requested) {
  if (for_ != AsrModelVersion::quillet25) return requested.value_or(configuration);
  const MLComputeUnits candidate = requested.value_or(
      configuration == MLComputeUnits::cpuOnly ? MLComputeUnits::cpuOnly : MLComputeUnits::cpuAndGPU);
  if (candidate == MLComputeUnits::cpuOnly || candidate == MLComputeUnits::cpuAndGPU) return candidate;
  throw AsrModelsError::loadingFailed(
      "Quillet-2.5 supports the GPU encoder or CPU-only diagnostics; ANE encoder parity is not "
      "validated. Use encoderComputeUnits: .cpuAndGPU.");
}

fs::path AsrModels::download(const std::optional<fs::path>& to, bool force, AsrModelVersion version,
                             ParakeetEncoderPrecision encoderPrecision,
                             std::optional<MLComputeUnits> encoderComputeUnits, const ProgressHandler& progressHandler,
                             std::stop_token stop) {
  checkPlatformSupport(version);
  const fs::path target = ParakeetModelFolder::folderPath(to.value_or(defaultCacheDirectory(version)));
  logger().info("Downloading ASR models to: " + target.string());
  const bool current = markerIsCurrent(repositoryFolder(target, version), expectedRevision(version));

  std::vector<ModelSpec> entries;
  if (force) {
    entries = downloadList(version, encoderPrecision, encoderComputeUnits);
    ParakeetModelFolder::removeForForcedDownload(target, version.repo().folderName());
  } else if (current && modelsExist(target, version, encoderPrecision)) {
    logger().info("ASR models already present at: " + target.string());
    return target;
  } else {
    entries = downloadList(version, encoderPrecision, encoderComputeUnits);
  }

  const auto variant = version.hubVariant(encoderPrecision);
  for (const ModelSpec& entry : entries) {
    ParakeetModelLoader::loadModels(version.repo(), {entry.fileName}, target.parent_path(), entry.computeUnits, variant,
                                    DownloadConfig::default_(), progressHandler, stop);
  }
  ensureVocabularyDownloaded(version, target, stop);
  logger().info("Successfully downloaded ASR models");
  return target;
}

bool AsrModels::modelsExist(const fs::path& at, AsrModelVersion version, ParakeetEncoderPrecision encoderPrecision) {
  auto required = getRequiredModels(version, encoderPrecision);
  required.insert(std::string(version.vocabularyFile()));
  return ModelCache::isCacheComplete(repositoryFolder(at, version), required);
}

bool AsrModels::modelsExist(const fs::path& at) {
  return modelsExist(at, inferredVersion(at).value_or(AsrModelVersion::v3), ParakeetEncoderPrecision::int8);
}

bool AsrModels::isModelValid(AsrModelVersion version, ParakeetEncoderPrecision encoderPrecision) {
  const fs::path folder = defaultCacheDirectory(version);
  if (!modelsExist(folder, version, encoderPrecision)) {
    logger().info("Model validation failed: model files not found");
    return false;
  }
  const fs::path repository = repositoryFolder(folder, version);
  MLModelConfiguration configuration;
  configuration.computeUnits = MLComputeUnits::cpuOnly;
  std::vector<std::pair<std::string, std::string>> models = {{"Preprocessor", std::string(version.preprocessorFile())}};
  if (const auto encoder = version.encoderFile(encoderPrecision)) models.emplace_back("Encoder", std::string(*encoder));
  models.emplace_back("Decoder", std::string(version.decoderFile()));
  models.emplace_back("Joint", std::string(version.jointFile()));
  for (const auto& [label, file] : models) {
    try {
      ModelHub::openCompiledModel(repository / file, configuration);
    } catch (...) {
      logger().error("Model validation failed: " + label + " - " + platform::Error::messageOf(std::current_exception()));
      return false;
    }
  }
  return true;
}

MLModelConfiguration AsrModels::defaultConfiguration() {
  MLModelConfiguration configuration;
  configuration.computeUnits = MLComputeUnits::cpuAndNeuralEngine;
  configuration.allowLowPrecisionAccumulationOnGPU = true;
  return configuration;
}

MLModelConfiguration AsrModels::optimizedConfiguration(bool enableFP16) {
  MLModelConfiguration configuration;
  configuration.computeUnits =
      platform::Environment::value("CI") ? MLComputeUnits::cpuOnly : MLComputeUnits::cpuAndNeuralEngine;
  configuration.allowLowPrecisionAccumulationOnGPU = enableFP16;
  return configuration;
}

platform::MLPredictionOptions AsrModels::optimizedPredictionOptions() { return {}; }

AsrModels AsrModels::load(const fs::path& from, const std::optional<MLModelConfiguration>& configuration,
                          AsrModelVersion version, ParakeetEncoderPrecision encoderPrecision,
                          std::optional<MLComputeUnits> encoderComputeUnits, const ProgressHandler& progressHandler,
                          std::stop_token stop) {
  checkPlatformSupport(version);
  logger().info("Loading ASR models from: " + from.string());
  const MLModelConfiguration config = configuration.value_or(defaultConfiguration());
  const fs::path folder = ParakeetModelFolder::folderPath(from);
  const fs::path root = folder.parent_path();
  const Repo repo = version.repo();
  const auto variant = version.hubVariant(encoderPrecision);
  const auto frontEnd = frontEndList(version, encoderPrecision, config.computeUnits, encoderComputeUnits);

  std::vector<std::shared_ptr<const platform::MLModel>> frontEndModels;
  for (const ModelSpec& entry : frontEnd) {
    auto model = loadThroughHub(repo, entry.fileName, root, entry.computeUnits, variant, progressHandler, stop);
    if (model) logger().info("Loaded " + entry.fileName + " with compute units: " + computeUnitsName(entry.computeUnits));
    frontEndModels.push_back(std::move(model));
  }
  AsrModels models;
  models.version = version;
  models.configuration = config;
  models.preprocessor = frontEndModels[0];
  if (!models.preprocessor) throw AsrModelsError::loadingFailed("Failed to load preprocessor model");
  if (!version.hasFusedEncoder()) {
    models.encoder = frontEndModels[1];
    if (!models.encoder) throw AsrModelsError::loadingFailed("Failed to load encoder model (required for split frontend)");
    models.encoderLadder = loadEncoderLadder(folder / frontEnd[1].fileName, frontEnd[1].computeUnits, models.encoder);
    if (!models.encoderLadder.empty()) logLadder(models.encoderLadder);
  }

  models.decoder = loadThroughHub(repo, std::string(version.decoderFile()), root, config.computeUnits, variant,
                                  progressHandler, stop);
  if (!models.decoder) throw AsrModelsError::loadingFailed("Failed to load decoder model");
  const std::string jointFile(version.jointFile());
  models.joint = loadThroughHub(repo, jointFile, root, config.computeUnits, variant, progressHandler, stop);
  if (!models.joint) {
    const char* suffix =
        version.isV3Family() ? " (required for v3; delete the models directory to force a fresh download)" : "";
    throw AsrModelsError::loadingFailed("Failed to load joint model " + jointFile + suffix);
  }
  logger().info("Loaded " + jointFile);
  if (version == AsrModelVersion::tdtCtc110m) models.ctcHead = loadCtcHead(root, config, progressHandler, stop);

  models.vocabulary = loadVocabulary(folder, version);
  logger().info("Successfully loaded all ASR models with optimized compute units");
  return models;
}

AsrModels AsrModels::downloadAndLoad(const std::optional<fs::path>& to,
                                     const std::optional<MLModelConfiguration>& configuration, AsrModelVersion version,
                                     ParakeetEncoderPrecision encoderPrecision,
                                     std::optional<MLComputeUnits> encoderComputeUnits,
                                     const ProgressHandler& progressHandler, std::stop_token stop) {
  checkPlatformSupport(version);
  const MLComputeUnits encoderUnits = resolvedEncoderComputeUnits(
      version, configuration.value_or(defaultConfiguration()).computeUnits, encoderComputeUnits);
  const fs::path folder = download(to, false, version, encoderPrecision, encoderUnits, progressHandler, stop);
  return load(folder, configuration, version, encoderPrecision, encoderUnits, progressHandler, std::move(stop));
}

AsrModels AsrModels::loadFromCache(const std::optional<MLModelConfiguration>& configuration, AsrModelVersion version,
                                   std::optional<MLComputeUnits> encoderComputeUnits,
                                   const ProgressHandler& progressHandler, std::stop_token stop) {
  return load(defaultCacheDirectory(version), configuration, version, ParakeetEncoderPrecision::int8,
              encoderComputeUnits, progressHandler, std::move(stop));
}

AsrModels AsrModels::loadWithAutoRecovery(const std::optional<fs::path>& from,
                                          const std::optional<MLModelConfiguration>& configuration,
                                          std::optional<MLComputeUnits> encoderComputeUnits,
                                          const ProgressHandler& progressHandler, std::stop_token stop) {
  return load(from.value_or(defaultCacheDirectory(AsrModelVersion::v3)), configuration, AsrModelVersion::v3,
              ParakeetEncoderPrecision::int8, encoderComputeUnits, progressHandler, std::move(stop));
}

AsrModels AsrModels::loadLocal(const fs::path& from, AsrModelVersion version,
                               const std::optional<MLModelConfiguration>& configuration,
                               ParakeetEncoderPrecision encoderPrecision,
                               std::optional<MLComputeUnits> encoderComputeUnits) {
  checkPlatformSupport(version);
  const MLModelConfiguration config = configuration.value_or(defaultConfiguration());
  const MLComputeUnits encoderUnits = resolvedEncoderComputeUnits(version, config.computeUnits, encoderComputeUnits);

  AsrModels models;
  models.version = version;
  models.configuration = config;
  models.vocabulary = parseVocabulary(from / std::string(version.vocabularyFile()));
  for (int64_t id = 0; id < version.blankId(); ++id) {
    if (!models.vocabulary.contains(static_cast<int>(id))) {
      throw AsrModelsError::loadingFailed("Local vocabulary must contain every token before the blank ID");
    }
  }

  const auto component = [&](const std::string& fileName, MLComputeUnits units) {
    const fs::path location = from / fileName;
    if (!ParakeetModelFolder::exists(location)) throw AsrModelsError::modelNotFound(fileName, location);
    MLModelConfiguration componentConfiguration;
    componentConfiguration.computeUnits = units;
    componentConfiguration.allowLowPrecisionAccumulationOnGPU = config.allowLowPrecisionAccumulationOnGPU;
    return std::shared_ptr<const platform::MLModel>(ModelHub::openCompiledModel(location, componentConfiguration));
  };
  const bool split = !version.hasFusedEncoder();
  if (split) models.encoder = component(std::string(*version.encoderFile(encoderPrecision)), encoderUnits);
  const std::string ctcHeadFile(ModelNames::ASR::ctcHeadFile);
  if (ParakeetModelFolder::exists(from / ctcHeadFile)) models.ctcHead = component(ctcHeadFile, config.computeUnits);
  models.preprocessor =
      component(std::string(version.preprocessorFile()), split ? MLComputeUnits::cpuOnly : config.computeUnits);
  models.decoder = component(std::string(version.decoderFile()), config.computeUnits);
  models.joint = component(std::string(version.jointFile()), config.computeUnits);
  return models;
}

std::vector<EncoderLadderFunction> AsrModels::loadEncoderLadder(
    const fs::path& at, MLComputeUnits computeUnits, const std::shared_ptr<const platform::MLModel>& defaultEncoder) {
  if (platform::HostEnvironment::current()->operatingSystemVersion() < kCompressedEncoderSystem) return {};
  std::vector<std::string> functionNames;
  try {
    functionNames = platform::MLModel::functionNames(at);
  } catch (const std::exception&) {
    return {};
  }
  const int64_t defaultMel = defaultEncoder ? melFrames(*defaultEncoder).value_or(kUnknownFrames) : kUnknownFrames;

  std::vector<EncoderLadderFunction> ladder;
  for (const std::string& name : functionNames) {
    const auto ms = ladderMilliseconds(name);
    if (!ms) continue;
    const double seconds = static_cast<double>(*ms) / 1000.0;
    const auto expectedFrames = static_cast<int64_t>(seconds * 100.0) + 1;
    if (defaultMel != kUnknownFrames && defaultMel == expectedFrames) {
      ladder.push_back({seconds, defaultMel, defaultEncoder});
      continue;
    }
    MLModelConfiguration configuration;
    configuration.computeUnits = computeUnits;
    configuration.allowLowPrecisionAccumulationOnGPU = true;
    configuration.functionName = name;
    const auto start = std::chrono::steady_clock::now();
    try {
      std::shared_ptr<const platform::MLModel> model = ModelHub::openCompiledModel(at, configuration);
      const std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - start;
      ladder.push_back({seconds, melFrames(*model).value_or(expectedFrames), model});
      logger().info(fmt::format("Loaded encoder function {} in {:.0f} ms", name, elapsed.count()));
    } catch (const std::exception&) {
      logger().warning("Encoder function " + name + " failed to load: " +
                       platform::Error::messageOf(std::current_exception()));
    }
  }
  std::stable_sort(ladder.begin(), ladder.end(),
                   [](const EncoderLadderFunction& a, const EncoderLadderFunction& b) { return a.seconds < b.seconds; });
  return ladder;
}

}  // namespace tesselaudio
