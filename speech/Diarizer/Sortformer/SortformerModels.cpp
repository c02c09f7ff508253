#include "speech/Diarizer/Sortformer/SortformerModels.h"

#include <cassert>
#include <charconv>
#include <chrono>
#include <cstring>
#include <exception>
#include <map>
#include <string>
#include <utility>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "platform/ml/MLDictionaryFeatureProvider.h"
#include "platform/ml/MLModel.h"
#include "platform/ml/MLMultiArray.h"
#include "platform/sys/CancellationError.h"
#include "platform/sys/HostInfo.h"
#include "speech/Diarizer/Sortformer/SortformerError.h"
#include "speech/Shared/ANEMemoryOptimizer.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Shared/Download/DownloadConfig.h"
#include "speech/Shared/Download/ModelCache.h"
#include "speech/Shared/Download/ModelCachePreservingError.h"
#include "speech/Shared/Download/ModelHub.h"
#include "speech/Shared/Download/RetryPolicy.h"
#include "speech/Shared/MLModelConfigurationUtils.h"
#include "speech/Shared/ModelNames.h"
#include "speech/Shared/Repo.h"
#include "speech/Shared/SystemInfoReporter.h"

namespace tesselaudio {
namespace {

using platform::MLComputeUnits;
using platform::MLMultiArray;
using platform::MLMultiArrayDataType;
using Clock = std::chrono::steady_clock;

const AppLogger& logger() {
  static const AppLogger instance("SortformerModels");
  return instance;
}

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A decimal integer with an optional sign and nothing else, within 64 bits.
std::optional<std::int64_t> parseInteger(std::string_view text) {
  const bool plus = !text.empty() && text.front() == '+';
  if (plus) text.remove_prefix(1);
  const bool minus = !plus && !text.empty() && text.front() == '-';
  const auto digits = minus ? text.substr(1) : text;
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) {
    return std::nullopt;
  }
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// The array's elements in row-major order, when it holds `type`.
std::optional<std::vector<float>> scalars(const std::shared_ptr<const platform::MLFeatureValue>& value,
                                          MLMultiArrayDataType type) {
  if (!value || !value->multiArrayValue()) return std::nullopt;
  const auto& array = *value->multiArrayValue();
  if (array.dataType() != type) return std::nullopt;
  std::vector<float> result(static_cast<std::size_t>(array.count()));
  if (type == MLMultiArrayDataType::float32 && array.isContiguous()) {
    std::memcpy(result.data(), array.dataPointer(), result.size() * sizeof(float));
    return result;
  }
  for (std::int64_t i = 0; i < array.count(); ++i) result[static_cast<std::size_t>(i)] = array[i].floatValue();
  return result;
}

// Element 0 as an integer, when the output exists and holds any element.
std::optional<std::int64_t> firstInteger(const std::shared_ptr<const platform::MLFeatureValue>& value) {
  if (!value || !value->multiArrayValue() || value->multiArrayValue()->count() == 0) return std::nullopt;
  return (*value->multiArrayValue())[0].int32Value();
}

void writeLength(MLMultiArray& array, std::int64_t value) {
  array.set(0, platform::NSNumber(static_cast<std::int32_t>(value)));
}

bool isHighContext(const std::optional<ModelNames::Sortformer::Variant>& variant) {
  using Variant = ModelNames::Sortformer::Variant;
  return variant && (*variant == Variant::highContextV2 || *variant == Variant::highContextV2_1);
}

std::string_view caseName(ModelNames::Sortformer::Variant variant) {
  using Variant = ModelNames::Sortformer::Variant;
  switch (variant) {
    case Variant::fastV2: return "fastV2";
    case Variant::fastV2_1: return "fastV2_1";
    case Variant::balancedV2: return "balancedV2";
    case Variant::balancedV2_1: return "balancedV2_1";
    case Variant::highContextV2: return "highContextV2";
    case Variant::highContextV2_1: return "highContextV2_1";
    case Variant::efficientV2_1: return "efficientV2_1";
  }
  return "";
}

std::string describe(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const platform::Error& e) {
    return e.description();
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

bool preservesModelCache(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const ModelCachePreservingError& e) {
    return e.preservesModelCache();
  } catch (...) {
    return false;
  }
}

// Decides after a failed first hub load, logging why: true to purge the file and try once more,
// false to pass the error on with the cache kept.
bool purgeAfterFirstFailure(const std::exception_ptr& error) {
  const auto description = describe(error);
  if (ModelHub::offlineMode()) {
    logger().warning("Offline mode: load failed and re-download blocked. " + description);
    return false;
  }
  if (RetryPolicy::isCancellation(error)) {
    logger().info("Load cancelled; preserving model cache. " + description);
    return false;
  }
  if (RetryPolicy::isRetryable(error)) {
    logger().warning("Load failed with transient network error; preserving model cache for resume. " +
                     description);
    return false;
  }
  // Bundles this build cannot run would only come back the same after a purge.
  if (preservesModelCache(error)) {
    logger().warning("Load failed for a reason outside the model cache; preserving it. " + description);
    return false;
  }
  logger().warning("First load failed: " + description);
  return true;
}

}  // namespace

SortformerModels::SortformerModels(const SortformerConfig& config,
                                   std::shared_ptr<const platform::MLModel> main,
                                   double compilationDuration)
    : mainModel(std::move(main)),
      compilationDuration(compilationDuration),
      memoryOptimizer(std::make_shared<ANEMemoryOptimizer>()) {
  assert(mainModel);
  const auto f32 = MLMultiArrayDataType::float32;
  const auto i32 = MLMultiArrayDataType::int32;
  chunkArray = memoryOptimizer->createAlignedArray({1, config.chunkMelFrames(), config.melFeatures}, f32);
  fifoArray = memoryOptimizer->createAlignedArray({1, config.fifoLen, config.preEncoderDims}, f32);
  spkcacheArray = memoryOptimizer->createAlignedArray({1, config.spkcacheLen, config.preEncoderDims}, f32);
  chunkLengthArray = memoryOptimizer->createAlignedArray({1}, i32);
  fifoLengthArray = memoryOptimizer->createAlignedArray({1}, i32);
  spkcacheLengthArray = memoryOptimizer->createAlignedArray({1}, i32);
}

SortformerModels SortformerModels::load(const SortformerConfig& config,
                                        const std::filesystem::path& mainModelPath,
                                        std::optional<MLComputeUnits> computeUnits,
                                        std::stop_token stop) {
  logger().info("Loading Sortformer models from local paths (combined pipeline mode)");
  const auto start = Clock::now();
  logger().info("Compiling main model...");
  platform::CancellationError::throwIfRequested(stop);
  const auto units = computeUnits.value_or(recommendedComputeUnits(config));
  const auto configuration = MLModelConfigurationUtils::defaultConfiguration(units);
  std::shared_ptr<const platform::MLModel> model = platform::MLModel::compileAndLoad(mainModelPath, configuration);
  platform::CancellationError::throwIfRequested(stop);
  logger().info(fmt::format("Loaded main Sortformer model (computeUnits={})", static_cast<int>(units)));
  const double elapsed = secondsSince(start);
  logger().info(fmt::format("Models loaded in {:.2f}s", elapsed));
  return SortformerModels(config, std::move(model), elapsed);
}

SortformerModels SortformerModels::loadFromHuggingFace(
    const SortformerConfig& config, const std::optional<std::filesystem::path>& cacheDirectory,
    std::optional<MLComputeUnits> computeUnits, ProgressHandler progressHandler,
    std::stop_token stop) {
  logger().info("Loading Sortformer models from HuggingFace...");
  const auto start = Clock::now();
  const auto directory = cacheDirectory.value_or(MLModelConfigurationUtils::defaultModelsDirectory());
  if (!config.modelVariant) throw SortformerError::modelLoadFailed("Unsupported Sortformer configuration");

  const std::string name = config.modelVariant->fileName(config.precision);
  logger().info(fmt::format("Downloading Sortformer models from HuggingFace from bundle: {}...", name));
  const auto units = computeUnits.value_or(recommendedComputeUnits(config));
  SystemInfoReporter::shared().logIfNeeded(logger());

  const std::vector<std::string> names = {name};
  auto attempt = [&] {
    return ModelHub::loadModelsOnce(Repo::sortformer, names, directory, units, name,
                                    DownloadConfig::default_(), progressHandler, stop);
  };
  ModelHub::ModelMap models;
  try {
    models = attempt();
  } catch (...) {
    const auto error = std::current_exception();
    if (!purgeAfterFirstFailure(error)) throw;
    logger().info(fmt::format("Deleting {} and re-downloading\u2026", fmt::join(names, ", ")));
    ModelCache::purgeCorruptedFiles(names, directory / Repo(Repo::sortformer).folderName());
    try {
      models = attempt();
    } catch (...) {
      const auto second = std::current_exception();
      if (!RetryPolicy::isCancellation(second)) {
        auto required = ModelNames::getRequiredModelNames(Repo::sortformer, name);
        required.insert(names.begin(), names.end());
        ModelHub::logLoadFailureSizeDiagnosis(Repo::sortformer, directory, required, stop);
      }
      throw;
    }
  }

  const auto model = models.find(name);
  if (model == models.end() || !model->second) {
    throw SortformerError::modelLoadFailed("Failed to load Sortformer models from HuggingFace");
  }
  const double elapsed = secondsSince(start);
  logger().info(fmt::format("Sortformer models loaded from HuggingFace in {:.2f}s", elapsed));
  return SortformerModels(config, model->second, elapsed);
}

MLComputeUnits SortformerModels::recommendedComputeUnits(const SortformerConfig& config) {
  using Precision = ModelNames::Sortformer::ModelPrecision;
  if (isHighContext(config.modelVariant) && config.precision == Precision::fp16) {
    if (const auto bytes = platform::HostInfo::physicalMemoryBytes()) {
      const double gib = static_cast<double>(*bytes) / static_cast<double>(1ULL << 30);
      if (gib < 8.0) {
        logger().warning(fmt::format(
            "Loading large fp16 {} head on a {:.1f}GB device with .cpuOnly to avoid the "
            "multi-minute ANE compile hang. Use SortformerConfig.precision = .palettized for an "
            "ANE-friendly ~330MB build, or pass computeUnits explicitly to override.",
            caseName(*config.modelVariant), gib));
        return MLComputeUnits::cpuOnly;
      }
    }
  }
  return MLComputeUnits::all;
}

platform::MLModelConfiguration SortformerModels::defaultConfiguration() {
  return MLModelConfigurationUtils::environmentDefaultConfiguration();
}

std::optional<SortformerModels::EmbeddedConfig> SortformerModels::embeddedConfig() const {
  const auto& metadata = mainModel->modelDescription().metadata.creatorDefined;
  auto read = [&](const std::string& key) -> std::optional<std::int64_t> {
    const auto entry = metadata.find(key);
    if (entry == metadata.end()) return std::nullopt;
    return parseInteger(entry->second);
  };
  const auto chunkLen = read("chunk_len");
  const auto left = read("chunk_left_context");
  const auto right = read("chunk_right_context");
  const auto fifoLen = read("fifo_len");
  const auto spkcacheLen = read("spkcache_len");
  if (!chunkLen || !left || !right || !fifoLen || !spkcacheLen) return std::nullopt;
  return EmbeddedConfig{*chunkLen, *left, *right, *fifoLen, *spkcacheLen};
}

SortformerModels::MainModelOutput SortformerModels::runMainModel(
    std::span<const float> chunk, std::int64_t chunkLength, std::span<const float> spkcache,
    std::int64_t spkcacheLength, std::span<const float> fifo, std::int64_t fifoLength,
    const SortformerConfig&) const {
  // Padding with zeros: the previous chunk's values must never reach the model.
  memoryOptimizer->optimizedCopy(chunk, *chunkArray, 0, true);
  memoryOptimizer->optimizedCopy(fifo, *fifoArray, 0, true);
  memoryOptimizer->optimizedCopy(spkcache, *spkcacheArray, 0, true);
  writeLength(*chunkLengthArray, chunkLength);
  writeLength(*fifoLengthArray, fifoLength);
  writeLength(*spkcacheLengthArray, spkcacheLength);

  const platform::MLDictionaryFeatureProvider inputs(std::map<std::string, std::shared_ptr<MLMultiArray>>{
      {"chunk", chunkArray},
      {"chunk_lengths", chunkLengthArray},
      {"spkcache", spkcacheArray},
      {"spkcache_lengths", spkcacheLengthArray},
      {"fifo", fifoArray},
      {"fifo_lengths", fifoLengthArray},
  });
  const auto outputs = mainModel->prediction(inputs);
  auto output = [&](const char* name) { return outputs->featureValue(name); };
  const auto f32 = MLMultiArrayDataType::float32;

  auto predictions = scalars(output("speaker_preds_out"), f32);
  if (!predictions) predictions = scalars(output("speaker_preds"), f32);
  if (!predictions) throw SortformerError::inferenceFailed("Missing speaker_preds or speaker_preds_out");

  auto length = firstInteger(output("chunk_pre_encoder_lengths_out"));
  if (!length) length = firstInteger(output("chunk_pre_encoder_lengths"));
  if (!length) {
    throw SortformerError::inferenceFailed(
        "Missing chunk_pre_encoder_lengths or chunk_pre_encoder_lengths_out");
  }

  auto embeddings = scalars(output("chunk_pre_encoder_embs_out"), f32);
  if (!embeddings) embeddings = scalars(output("chunk_pre_encoder_embs"), f32);
  if (!embeddings) embeddings = scalars(output("chunk_pre_encoder_embs_out"), MLMultiArrayDataType::float16);
  if (!embeddings) throw SortformerError::inferenceFailed("Missing chunk_pre_encoder_embs_out");

  return MainModelOutput{std::move(*predictions), std::move(*embeddings), *length};
}

}  // namespace tesselaudio
