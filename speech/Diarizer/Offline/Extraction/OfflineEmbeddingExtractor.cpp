#include "speech/Diarizer/Offline/Extraction/OfflineEmbeddingExtractor.h"

#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstring>
#include <utility>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "platform/ml/MLArrayBatchProvider.h"
#include "platform/ml/MLFeatureValue.h"
#include "platform/sys/CancellationError.h"
#include "platform/sys/Error.h"
#include "speech/Diarizer/Offline/Core/OfflineDiarizationError.h"
#include "speech/Diarizer/Offline/Extraction/SilenceAwareFbank.h"
#include "speech/Shared/ZeroCopyDiarizerFeatureProvider.h"

namespace tesselaudio {
namespace {

using platform::MLFeatureType;
using platform::MLMultiArray;
using platform::MLMultiArrayDataType;

constexpr std::int64_t kDefaultWeightFrames = 589;
constexpr std::int64_t kMaxModelBatch = 32;

const platform::MLFeatureDescription* find(const std::map<std::string, platform::MLFeatureDescription>& features,
                                           const std::string& name) {
  const auto found = features.find(name);
  return found == features.end() ? nullptr : &found->second;
}

// A shape of `rank` ones ending in `last`, with at least `minimumRank` dimensions.
std::vector<std::int64_t> fallbackShape(std::int64_t rank, std::int64_t minimumRank, std::int64_t last) {
  std::vector<std::int64_t> shape(static_cast<std::size_t>(std::max(rank, minimumRank)), 1);
  shape.back() = last;
  return shape;
}

std::int64_t fallbackAt(const std::vector<std::int64_t>& fallback, std::size_t i) {
  if (fallback.empty()) return 1;
  return i < fallback.size() ? fallback[i] : fallback.back();
}

std::vector<std::int64_t> atLeastOne(std::vector<std::int64_t> shape) {
  for (auto& d : shape) d = std::max<std::int64_t>(1, d);
  return shape;
}

// The array's elements as float32 in logical order: its own memory when dense float32, else a
// converted copy in `scratch`.
std::span<const float> floatsOf(const MLMultiArray& array, std::vector<float>& scratch) {
  const auto count = static_cast<std::size_t>(array.count());
  if (array.dataType() == MLMultiArrayDataType::float32 && array.isContiguous()) {
    return {static_cast<const float*>(array.dataPointer()), count};
  }
  scratch.resize(count);
  for (std::size_t i = 0; i < count; ++i) scratch[i] = array[static_cast<std::int64_t>(i)].floatValue();
  return scratch;
}

std::shared_ptr<const platform::MLFeatureValue> valueOf(std::shared_ptr<MLMultiArray> array) {
  return std::make_shared<const platform::MLFeatureValue>(std::move(array));
}

}  // namespace

OfflineEmbeddingExtractor::OfflineEmbeddingExtractor(std::shared_ptr<const platform::MLModel> fbankModel,
                                                     std::shared_ptr<const platform::MLModel> embeddingModel,
                                                     std::optional<PLDATransform> pldaTransform,
                                                     const OfflineDiarizerConfig& config)
    : fbankModel_(std::move(fbankModel)),
      embeddingModel_(std::move(embeddingModel)),
      pldaTransform_(std::move(pldaTransform)),
      config_(config),
      logger_("OfflineEmbedding"),
      memoryOptimizer_(std::make_shared<ANEMemoryOptimizer>()) {
  assert(fbankModel_ && embeddingModel_);
}

std::optional<OfflineEmbeddingExtractor> OfflineEmbeddingExtractor::make(
    std::shared_ptr<const platform::MLModel> fbankModel, std::shared_ptr<const platform::MLModel> embeddingModel,
    std::optional<PLDATransform> pldaTransform, const OfflineDiarizerConfig& config) {
  OfflineEmbeddingExtractor extractor(std::move(fbankModel), std::move(embeddingModel), std::move(pldaTransform),
                                      config);
  if (!extractor.configure()) return std::nullopt;
  return extractor;
}

bool OfflineEmbeddingExtractor::configure() {
  const auto& fbank = fbankModel_->modelDescription();
  const auto& embedding = embeddingModel_->modelDescription();

  const auto* audio = find(fbank.inputDescriptionsByName, fbankInputName_);
  if (!audio || !audio->multiArrayConstraint) {
    logger_.error("FBANK model is missing `audio` multiarray input; required for offline pipeline");
    return false;
  }
  const std::int64_t windowSamples = config_.samplesPerWindow();
  const auto& audioConstraint = *audio->multiArrayConstraint;
  audioSampleCount_ = std::max<std::int64_t>(1, std::min(resolveElementCount(audioConstraint, windowSamples), windowSamples));
  fbankInputShape_ =
      sanitizedShape(audioConstraint, fallbackShape(dimensionHint(audioConstraint), 3, audioSampleCount_));

  const auto* features = find(fbank.outputDescriptionsByName, fbankOutputName_);
  if (!features || features->type != MLFeatureType::multiArray) {
    logger_.error("FBANK model missing `fbank_features` multiarray output");
    return false;
  }
  const auto* featureInput = find(embedding.inputDescriptionsByName, fbankFeatureName_);
  if (!featureInput || featureInput->type != MLFeatureType::multiArray) {
    logger_.error("Embedding model missing `fbank_features` multiarray input");
    return false;
  }
  const auto* weights = find(embedding.inputDescriptionsByName, weightInputName_);
  if (!weights || !weights->multiArrayConstraint) {
    logger_.error("Embedding model missing `weights` multiarray input");
    return false;
  }
  const auto& weightConstraint = *weights->multiArrayConstraint;
  weightFrameCount_ = std::max<std::int64_t>(1, resolveElementCount(weightConstraint, kDefaultWeightFrames));
  weightInputShape_ =
      sanitizedShape(weightConstraint, fallbackShape(dimensionHint(weightConstraint), 2, weightFrameCount_));
  modelBatchLimit_ = std::clamp<std::int64_t>(config_.embedding.batchSize, 1, kMaxModelBatch);

  if (!find(embedding.outputDescriptionsByName, embeddingOutputName_)) {
    logger_.error("Embedding model missing `embedding` multiarray output");
    return false;
  }
  logger_.debug(fmt::format(
      "Offline embedding configured with FBANK input {}[{}] \u2192 {}; embedding consumes {} + {}[{}] (frames={}), "
      "maxBatch={}, output={}",
      fbankInputName_, fmt::join(fbankInputShape_, "\u00d7"), fbankOutputName_, fbankFeatureName_, weightInputName_,
      fmt::join(weightInputShape_, "\u00d7"), weightFrameCount_, modelBatchLimit_, embeddingOutputName_));
  return true;
}

std::int64_t OfflineEmbeddingExtractor::resolveElementCount(
    const std::optional<platform::MLMultiArrayConstraint>& constraint, std::int64_t fallback) {
  if (!constraint || constraint->shape.empty()) return fallback;
  const auto& shape = constraint->shape;
  if (shape.back() >= 1) return shape.back();
  if (shape.size() >= 2 && shape[shape.size() - 2] >= 1) return shape[shape.size() - 2];
  return fallback;
}

std::int64_t OfflineEmbeddingExtractor::dimensionHint(const platform::MLMultiArrayConstraint& constraint) {
  const auto& enumerated = constraint.shapeConstraint.enumeratedShapes;
  if (!enumerated.empty() && !enumerated.front().empty()) return static_cast<std::int64_t>(enumerated.front().size());
  if (!constraint.shape.empty()) return static_cast<std::int64_t>(constraint.shape.size());
  return static_cast<std::int64_t>(constraint.shapeConstraint.sizeRangeForDimension.size());
}

std::vector<std::int64_t> OfflineEmbeddingExtractor::sanitizedShape(const platform::MLMultiArrayConstraint& from,
                                                                    const std::vector<std::int64_t>& fallback) {
  const auto& enumerated = from.shapeConstraint.enumeratedShapes;
  if (!enumerated.empty() && !enumerated.front().empty()) return sanitizedShape(enumerated.front(), fallback);
  if (!from.shape.empty()) return sanitizedShape(from.shape, fallback);
  const auto& ranges = from.shapeConstraint.sizeRangeForDimension;
  if (!ranges.empty()) {
    std::vector<std::int64_t> shape(ranges.size());
    for (std::size_t i = 0; i < ranges.size(); ++i) {
      const std::int64_t lower = ranges[i].location;
      shape[i] = std::max<std::int64_t>(1, lower >= 1 ? lower : fallbackAt(fallback, i));
    }
    return shape;
  }
  return atLeastOne(fallback);
}

std::vector<std::int64_t> OfflineEmbeddingExtractor::sanitizedShape(const std::vector<std::int64_t>& shape,
                                                                    const std::vector<std::int64_t>& fallback) {
  if (shape.empty()) return atLeastOne(fallback);
  std::vector<std::int64_t> sanitized(shape.size());
  for (std::size_t i = 0; i < shape.size(); ++i) {
    sanitized[i] = shape[i] > 0 ? shape[i] : std::max<std::int64_t>(1, fallbackAt(fallback, i));
  }
  return sanitized;
}

std::shared_ptr<MLMultiArray> OfflineEmbeddingExtractor::prepareFbankInput(const float* chunkPointer,
                                                                          std::int64_t length) const {
  auto array = memoryOptimizer_->createAlignedArray(fbankInputShape_, MLMultiArrayDataType::float32);
  const std::int64_t n = std::max<std::int64_t>(0, std::min({array->count(), audioSampleCount_, length}));
  memoryOptimizer_->optimizedCopy(std::span<const float>(chunkPointer, static_cast<std::size_t>(n)), *array, 0, false);
  return array;
}

std::shared_ptr<MLMultiArray> OfflineEmbeddingExtractor::prepareWeightsInput(std::span<const float> weights) const {
  auto array = memoryOptimizer_->createAlignedArray(weightInputShape_, MLMultiArrayDataType::float32);
  const auto n = std::min({array->count(), weightFrameCount_, static_cast<std::int64_t>(weights.size())});
  memoryOptimizer_->optimizedCopy(weights.first(static_cast<std::size_t>(n)), *array, 0, false);
  return array;
}

std::vector<std::shared_ptr<MLMultiArray>> OfflineEmbeddingExtractor::runFbankBatch(
    const std::vector<std::shared_ptr<MLMultiArray>>& audioArrays, std::stop_token stop) const {
  if (audioArrays.empty()) return {};
  std::vector<std::shared_ptr<const platform::MLFeatureProvider>> providers;
  providers.reserve(audioArrays.size());
  for (const auto& audio : audioArrays) {
    providers.push_back(std::make_shared<ZeroCopyDiarizerFeatureProvider>(
        ZeroCopyDiarizerFeatureProvider::Features{{fbankInputName_, valueOf(audio)}}));
  }
  platform::CancellationError::throwIfRequested(stop);
  const auto results = fbankModel_->predictions(platform::MLArrayBatchProvider(std::move(providers)));
  const auto inputs = static_cast<std::int64_t>(audioArrays.size());
  if (results->count() != inputs) {
    throw OfflineDiarizationError::processingFailed(
        fmt::format("FBANK batch produced {} outputs for {} inputs", results->count(), inputs));
  }
  std::vector<std::shared_ptr<MLMultiArray>> features;
  features.reserve(audioArrays.size());
  for (std::int64_t i = 0; i < inputs; ++i) {
    const auto value = results->features(i)->featureValue(fbankOutputName_);
    if (!value || !value->multiArrayValue()) {
      throw OfflineDiarizationError::processingFailed(
          fmt::format("FBANK model missing {} output at batch index {}", fbankOutputName_, i));
    }
    recenterOnSignal(*value->multiArrayValue(), *audioArrays[static_cast<std::size_t>(i)]);
    features.push_back(value->multiArrayValue());
  }
  return features;
}

std::shared_ptr<MLMultiArray> OfflineEmbeddingExtractor::runFbankModel(const std::shared_ptr<MLMultiArray>& audioArray,
                                                                      std::stop_token stop) const {
  auto features = runFbankBatch({audioArray}, std::move(stop));
  if (features.empty()) throw OfflineDiarizationError::processingFailed("FBANK model produced no output");
  return std::move(features.front());
}

std::vector<std::vector<float>> OfflineEmbeddingExtractor::runEmbeddingBatch(
    const std::vector<std::shared_ptr<MLMultiArray>>& fbankFeatures, const std::shared_ptr<MLMultiArray>& weightsArray,
    std::stop_token stop) const {
  if (fbankFeatures.empty()) return {};
  std::vector<std::shared_ptr<const platform::MLFeatureProvider>> providers;
  providers.reserve(fbankFeatures.size());
  const auto weights = valueOf(weightsArray);
  for (const auto& features : fbankFeatures) {
    providers.push_back(std::make_shared<ZeroCopyDiarizerFeatureProvider>(
        ZeroCopyDiarizerFeatureProvider::Features{{fbankFeatureName_, valueOf(features)}, {weightInputName_, weights}}));
  }
  platform::CancellationError::throwIfRequested(stop);
  const auto results = embeddingModel_->predictions(platform::MLArrayBatchProvider(std::move(providers)));
  const auto inputs = static_cast<std::int64_t>(fbankFeatures.size());
  if (results->count() != inputs) {
    throw OfflineDiarizationError::processingFailed(
        fmt::format("Embedding batch produced {} outputs for {} inputs", results->count(), inputs));
  }
  std::vector<std::vector<float>> embeddings;
  embeddings.reserve(fbankFeatures.size());
  std::vector<float> scratch;
  for (std::int64_t i = 0; i < inputs; ++i) {
    const auto value = results->features(i)->featureValue(embeddingOutputName_);
    if (!value || !value->multiArrayValue()) {
      throw OfflineDiarizationError::processingFailed(
          fmt::format("Embedding model missing {} output", embeddingOutputName_));
    }
    const auto values = floatsOf(*value->multiArrayValue(), scratch);
    embeddings.emplace_back(values.begin(), values.end());
  }
  return embeddings;
}

std::vector<float> OfflineEmbeddingExtractor::runEmbeddingModel(const std::shared_ptr<MLMultiArray>& fbankFeatures,
                                                                const std::shared_ptr<MLMultiArray>& weightsArray,
                                                                std::stop_token stop) const {
  auto embeddings = runEmbeddingBatch({fbankFeatures}, weightsArray, std::move(stop));
  if (embeddings.empty()) throw OfflineDiarizationError::processingFailed("Embedding model produced no output");
  return std::move(embeddings.front());
}

void OfflineEmbeddingExtractor::recenterOnSignal(MLMultiArray& features, const MLMultiArray& audio) {
  if (features.dataType() != MLMultiArrayDataType::float32 || audio.dataType() != MLMultiArrayDataType::float32 ||
      features.shape().size() != 4) {
    return;
  }
  const std::int64_t bins = features.shape()[2];
  const std::int64_t frames = features.shape()[3];
  std::vector<float> scratch;
  const auto silent = SilenceAwareFbank::silentFrames(floatsOf(audio, scratch), frames);
  std::vector<std::int64_t> kept;
  for (std::int64_t f = 0; f < frames; ++f) {
    if (!silent[static_cast<std::size_t>(f)]) kept.push_back(f);
  }
  if (kept.empty() || static_cast<std::int64_t>(kept.size()) == frames) return;

  auto* data = static_cast<float*>(features.dataPointer());
  const std::int64_t binStride = features.strides()[2];
  const std::int64_t frameStride = features.strides()[3];
  const auto keptCount = static_cast<float>(kept.size());
  for (std::int64_t b = 0; b < bins; ++b) {
    float* bin = data + b * binStride;
    float sum = 0;
    for (const std::int64_t f : kept) sum += bin[f * frameStride];
    const float mean = sum / keptCount;
    for (std::int64_t f = 0; f < frames; ++f) bin[f * frameStride] -= mean;
  }
}

void OfflineEmbeddingExtractor::emitProfileLog(const std::string& line) {
  // One write, so that the line never interleaves with another thread's output.
  const std::string text = "[Profiling] " + line + "\n";
  const ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
  if (written != static_cast<ssize_t>(text.size())) {
    static const AppLogger profilingLogger("OfflineEmbedding");
    const std::string reason = written < 0 ? std::strerror(errno) : "short write";
    profilingLogger.warning("Failed to write profiling log: " + reason);
  }
}

void OfflineEmbeddingExtractor::performEmbeddingWarmup(std::stop_token stop) const {
  try {
    const auto silence = memoryOptimizer_->createAlignedArray(fbankInputShape_, MLMultiArrayDataType::float32);
    const auto features = runFbankModel(silence, stop);
    const std::vector<float> zeros(static_cast<std::size_t>(weightFrameCount_), 0.0f);
    runEmbeddingModel(features, prepareWeightsInput(zeros), stop);
  } catch (const platform::CancellationError&) {
    throw;
  } catch (...) {
    logger_.debug("Embedding warmup skipped due to error: " + platform::Error::messageOf(std::current_exception()));
  }
}

}  // namespace tesselaudio
