#include "speech/Diarizer/Nemotron3/Nemotron3Models.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <chrono>
#include <cstring>
#include <exception>
#include <map>
#include <set>
#include <string>
#include <utility>

#include <fmt/format.h>

#include "platform/dsp/VectorOps.h"
#include "platform/ml/Float16.h"
#include "platform/ml/MLDictionaryFeatureProvider.h"
#include "platform/ml/MLFeatureValue.h"
#include "platform/ml/MLModel.h"
#include "platform/ml/MLMultiArray.h"
#include "platform/ml/MLPredictionOptions.h"
#include "platform/sys/CancellationError.h"
#include "platform/sys/Error.h"
#include "platform/sys/FileIO.h"
#include "platform/text/Graphemes.h"
#include "platform/text/Whitespace.h"
#include "speech/Diarizer/Nemotron3/Nemotron3Error.h"
#include "speech/Shared/ANEMemoryOptimizer.h"
#include "speech/Shared/AppLogger.h"
#include "speech/Shared/Download/DownloadConfig.h"
#include "speech/Shared/Download/ModelHub.h"
#include "speech/Shared/MLModelConfigurationUtils.h"
#include "speech/Shared/ModelNames.h"
#include "speech/Shared/Repo.h"

namespace tesselaudio {
namespace {

namespace fs = std::filesystem;
using platform::MLMultiArray;
using platform::MLMultiArrayDataType;
using Clock = std::chrono::steady_clock;

// Rows of the split graph's projection: eight stacked mel frames of 128 bands.
constexpr std::int64_t kProjectionRows = 1024;
constexpr std::uintmax_t kProjectionBytes = 2'097'152;
constexpr float kPaddingBias = -30000.0f;

static_assert(std::endian::native == std::endian::little, "the float assets are little-endian");

const AppLogger& logger() {
  static const AppLogger instance("Nemotron3Models");
  return instance;
}

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

std::size_t size(std::int64_t value) { return static_cast<std::size_t>(value); }

float* floatData(const MLMultiArray& array) { return static_cast<float*>(array.dataPointer()); }

// An ordinary dense array of zeros.
std::shared_ptr<MLMultiArray> plainArray(std::vector<std::int64_t> shape, MLMultiArrayDataType type) {
  return std::make_shared<MLMultiArray>(std::move(shape), type);
}

// A backing of the type the model declares for `name`, float16 when it declares none.
std::shared_ptr<MLMultiArray> outputBacking(const platform::MLModel& model, const std::string& name,
                                            std::vector<std::int64_t> shape) {
  const auto& outputs = model.modelDescription().outputDescriptionsByName;
  const auto found = outputs.find(name);
  auto type = MLMultiArrayDataType::float16;
  if (found != outputs.end() && found->second.multiArrayConstraint) type = found->second.multiArrayConstraint->dataType;
  return plainArray(std::move(shape), type);
}

// The output under `name`, else its backing (which may be null).
std::shared_ptr<MLMultiArray> outputArray(const platform::MLFeatureProvider& result, const std::string& name,
                                          const std::shared_ptr<MLMultiArray>& backing) {
  const auto value = result.featureValue(name);
  if (value && value->multiArrayValue()) return value->multiArrayValue();
  return backing;
}

void writeLength(MLMultiArray& array, std::int64_t value) {
  array.set(0, platform::NSNumber(static_cast<std::int32_t>(value)));
}

std::vector<float> floatsViaSubscript(const MLMultiArray& array, std::int64_t count) {
  std::vector<float> values(size(count));
  for (std::int64_t i = 0; i < count; ++i) values[size(i)] = array[i].floatValue();
  return values;
}

// Copies `rows` rows of `cols` elements, `rowStride` elements apart, out of the array's memory.
std::vector<float> stridedRows(const MLMultiArray& array, std::int64_t rows, std::int64_t cols, std::int64_t rowStride) {
  std::vector<float> values(size(rows * cols));
  if (array.dataType() == MLMultiArrayDataType::float32) {
    const float* source = floatData(array);
    for (std::int64_t r = 0; r < rows; ++r) {
      std::memcpy(values.data() + r * cols, source + r * rowStride, size(cols) * sizeof(float));
    }
  } else {
    const auto* source = static_cast<const std::uint16_t*>(array.dataPointer());
    for (std::int64_t r = 0; r < rows; ++r) {
      platform::convertFloat16ToFloat(source + r * rowStride, values.data() + r * cols, size(cols));
    }
  }
  return values;
}

// The file's bytes, or none when it cannot be read.
std::optional<std::string> readBytes(const fs::path& file) {
  try {
    return platform::readFile(file);
  } catch (const platform::Error&) {
    return std::nullopt;
  }
}

std::vector<float> floatsFromBytes(const std::string& bytes) {
  std::vector<float> values(bytes.size() / sizeof(float));
  std::memcpy(values.data(), bytes.data(), values.size() * sizeof(float));
  return values;
}

std::string describe(const std::exception& error) {
  if (const auto* own = dynamic_cast<const platform::Error*>(&error)) return own->description();
  return error.what();
}

}  // namespace

Nemotron3Models::Nemotron3Models(const Nemotron3Config& config, std::shared_ptr<const platform::MLModel> model,
                                 std::vector<float> silenceEmbedding,
                                 std::optional<std::vector<float>> preEncodeProjection, double compilationDuration)
    : config(config),
      model(std::move(model)),
      silenceEmbedding(std::move(silenceEmbedding)),
      preEncodeProjection(std::move(preEncodeProjection)),
      compilationDuration(compilationDuration),
      memoryOptimizer(std::make_shared<ANEMemoryOptimizer>()) {
  assert(this->model);
  const auto f32 = MLMultiArrayDataType::float32;
  const auto i32 = MLMultiArrayDataType::int32;
  const std::int64_t dims = config.preEncoderDims;
  const std::int64_t window = config.chunkEncFrames();
  const std::int64_t packed = config.packedFrames();
  chunkArray = memoryOptimizer->createAlignedArray({1, config.chunkMelFrames(), config.melFeatures}, f32);
  spkcacheArray = memoryOptimizer->createAlignedArray({1, config.spkcacheLen, dims}, f32);
  fifoArray = memoryOptimizer->createAlignedArray({1, config.fifoLen, dims}, f32);
  chunkLengthArray = memoryOptimizer->createAlignedArray({1}, i32);
  spkcacheLengthArray = memoryOptimizer->createAlignedArray({1}, i32);
  fifoLengthArray = memoryOptimizer->createAlignedArray({1}, i32);
  if (config.splitGraph) {
    packedArray = memoryOptimizer->createAlignedArray({1, packed, dims}, f32);
    attnBiasArray = plainArray({1, 1, 1, packed}, f32);
    outputMaskArray = plainArray({1, packed, 1}, f32);
  }
  predsBacking = outputBacking(*this->model, "speaker_preds", {1, packed, config.numSpeakers});
  hiresBacking = outputBacking(*this->model, "speaker_preds_10ms",
                               {1, packed * config.upsampleFactor, config.numSpeakers});
  if (!config.splitGraph) embsBacking = outputBacking(*this->model, "chunk_pre_encode_embs", {1, window, dims});
  predictionOptions = std::make_shared<platform::MLPredictionOptions>();
  predictionOptions->outputBackings = {{"speaker_preds", predsBacking}, {"speaker_preds_10ms", hiresBacking}};
  if (embsBacking) predictionOptions->outputBackings["chunk_pre_encode_embs"] = embsBacking;
}

void Nemotron3Models::checkCall(std::span<const float> chunk, std::int64_t chunkLength,
                                const Nemotron3StreamingState& state, const Nemotron3Config& other,
                                std::int64_t chunkValues) const {
  auto refuse = [](const std::string& message) { throw Nemotron3Error::invalidState(message); };
  if (other.chunkEncFrames() != config.chunkEncFrames() || other.fifoLen != config.fifoLen ||
      other.spkcacheLen != config.spkcacheLen || other.subsamplingFactor != config.subsamplingFactor ||
      other.melFeatures != config.melFeatures || other.preEncoderDims != config.preEncoderDims ||
      other.numSpeakers != config.numSpeakers || other.upsampleFactor != config.upsampleFactor) {
    refuse("configuration differs from the one the model buffers were made for");
  }
  const std::int64_t dims = config.preEncoderDims;
  if (chunk.size() < size(chunkValues)) {
    refuse(fmt::format("chunk holds {} values, needs {}", chunk.size(), chunkValues));
  }
  if (chunkLength < 0 || chunkLength > config.chunkMelFrames()) {
    refuse(fmt::format("chunkLength {} outside 0...{}", chunkLength, config.chunkMelFrames()));
  }
  if (state.spkcacheLength < 0 || state.spkcacheLength > config.spkcacheLen) {
    refuse(fmt::format("spkcacheLength {} outside 0...{}", state.spkcacheLength, config.spkcacheLen));
  }
  if (state.fifoLength < 0 || state.fifoLength > config.fifoLen) {
    refuse(fmt::format("fifoLength {} outside 0...{}", state.fifoLength, config.fifoLen));
  }
  if (state.spkcache.size() < size(dims * config.spkcacheLen)) {
    refuse(fmt::format("spkcache holds {} values, needs {}", state.spkcache.size(), dims * config.spkcacheLen));
  }
  if (state.fifo.size() < size(dims * config.fifoLen)) {
    refuse(fmt::format("fifo holds {} values, needs {}", state.fifo.size(), dims * config.fifoLen));
  }
}

std::unique_ptr<platform::MLFeatureProvider> Nemotron3Models::predict(
    const platform::MLFeatureProvider& features) const {
  try {
    return model->prediction(features, *predictionOptions);
  } catch (const platform::CancellationError&) {
    throw;
  } catch (const std::exception& error) {
    if (predictionOptions->outputBackings.empty()) throw;
    logger().warning("Output backings rejected (" + describe(error) + "); retrying without them");
    // Shared by every copy: from now on no prediction of this set uses backings.
    predictionOptions->outputBackings.clear();
    return model->prediction(features, *predictionOptions);
  }
}

std::unique_ptr<platform::MLFeatureProvider> Nemotron3Models::predictAndReadBack(
    const std::map<std::string, std::shared_ptr<MLMultiArray>>& inputs, std::chrono::steady_clock::time_point start,
    Output& output) const {
  const platform::MLDictionaryFeatureProvider features(inputs);
  output.inputPrepSeconds = secondsSince(start);
  auto clock = Clock::now();
  auto result = predict(features);
  output.predictSeconds = secondsSince(clock);
  clock = Clock::now();
  output.predictions = floats(*outputArray(*result, "speaker_preds", predsBacking));
  output.highResPredictions = floats(*outputArray(*result, "speaker_preds_10ms", hiresBacking));
  output.readbackSeconds = secondsSince(clock);
  return result;
}

Nemotron3Models::Output Nemotron3Models::run(std::span<const float> chunk, std::int64_t chunkLength,
                                             const Nemotron3StreamingState& state,
                                             const Nemotron3Config& config) const {
  checkCall(chunk, chunkLength, state, config, chunkArray->count());
  Output output;
  const auto start = Clock::now();
  memoryOptimizer->optimizedCopy(chunk, *chunkArray, 0, true);
  memoryOptimizer->optimizedCopy(state.spkcache, *spkcacheArray, 0, true);
  memoryOptimizer->optimizedCopy(state.fifo, *fifoArray, 0, true);
  writeLength(*chunkLengthArray, chunkLength);
  writeLength(*spkcacheLengthArray, state.spkcacheLength);
  writeLength(*fifoLengthArray, state.fifoLength);
  const auto result = predictAndReadBack({{"chunk", chunkArray},
                                          {"chunk_lengths", chunkLengthArray},
                                          {"spkcache", spkcacheArray},
                                          {"spkcache_lengths", spkcacheLengthArray},
                                          {"fifo", fifoArray},
                                          {"fifo_lengths", fifoLengthArray}},
                                         start, output);
  const auto readStart = Clock::now();
  const auto embs = outputArray(*result, "chunk_pre_encode_embs", embsBacking);
  if (!embs) throw Nemotron3Error::inferenceFailed("Missing chunk_pre_encode_embs output");
  output.chunkEmbeddings = floats(*embs);
  output.readbackSeconds += secondsSince(readStart);
  output.chunkLength = (chunkLength + config.subsamplingFactor - 1) / config.subsamplingFactor;
  return output;
}

Nemotron3Models::Output Nemotron3Models::runSplit(std::span<const float> chunk, std::int64_t chunkLength,
                                                  const Nemotron3StreamingState& state,
                                                  const Nemotron3Config& config) const {
  if (!packedArray || !attnBiasArray || !outputMaskArray || !preEncodeProjection) {
    throw Nemotron3Error::invalidState("runSplit called on a non-split configuration");
  }
  const std::int64_t dims = this->config.preEncoderDims;
  const std::int64_t window = this->config.chunkEncFrames();
  checkCall(chunk, chunkLength, state, config, window * kProjectionRows);
  if (preEncodeProjection->size() != size(kProjectionRows * dims)) {
    throw Nemotron3Error::invalidState(fmt::format("pre-encode projection holds {} values, needs {}",
                                                   preEncodeProjection->size(), kProjectionRows * dims));
  }
  Output output;
  const auto start = Clock::now();

  // E = X × P: each row of X is s consecutive mel frames.
  output.chunkEmbeddings.resize(size(window * dims));
  platform::dsp::matrixMultiply(chunk.first(size(window * kProjectionRows)), *preEncodeProjection,
                                output.chunkEmbeddings, static_cast<int>(window), static_cast<int>(kProjectionRows),
                                static_cast<int>(dims));

  // Only the valid rows of cache, FIFO and chunk are packed; the rest is zeros.
  const std::int64_t valid = (chunkLength + config.subsamplingFactor - 1) / config.subsamplingFactor;
  const std::int64_t cacheRows = state.spkcacheLength;
  const std::int64_t fifoRows = state.fifoLength;
  const std::int64_t used = cacheRows + fifoRows + valid;
  const std::int64_t packed = this->config.packedFrames();
  const std::int64_t rowStride = packedArray->strides()[1];
  float* rows = floatData(*packedArray);
  auto putRows = [&](std::int64_t at, const float* from, std::int64_t count) {
    for (std::int64_t r = 0; r < count; ++r) std::memcpy(rows + (at + r) * rowStride, from + r * dims, size(dims) * sizeof(float));
  };
  putRows(0, state.spkcache.data(), cacheRows);
  putRows(cacheRows, state.fifo.data(), fifoRows);
  putRows(cacheRows + fifoRows, output.chunkEmbeddings.data(), valid);
  std::fill(rows + used * rowStride, rows + packed * rowStride, 0.0f);
  float* bias = floatData(*attnBiasArray);
  float* mask = floatData(*outputMaskArray);
  std::fill(bias, bias + used, 0.0f);
  std::fill(bias + used, bias + packed, kPaddingBias);
  std::fill(mask, mask + used, 1.0f);
  std::fill(mask + used, mask + packed, 0.0f);
  predictAndReadBack({{"packed", packedArray}, {"attn_bias", attnBiasArray}, {"output_mask", outputMaskArray}},
                     start, output);
  output.chunkLength = valid;
  return output;
}

std::vector<float> Nemotron3Models::floats(const MLMultiArray& array) {
  const auto& shape = array.shape();
  const auto& strides = array.strides();
  const std::int64_t count = array.count();
  const auto type = array.dataType();
  const bool rowCopyable = type == MLMultiArrayDataType::float32 || type == MLMultiArrayDataType::float16;
  if (!rowCopyable || strides.empty() || strides.back() != 1) return floatsViaSubscript(array, count);
  const std::size_t rank = shape.size();
  const bool matrix = rank > 1 && std::all_of(shape.begin(), shape.end() - 2, [](std::int64_t d) { return d == 1; });
  if (matrix) return stridedRows(array, shape[rank - 2], shape[rank - 1], strides[rank - 2]);
  if (array.isContiguous()) return stridedRows(array, 1, count, count);
  return floatsViaSubscript(array, count);
}

Nemotron3Models Nemotron3Models::loadFromHuggingFace(const Nemotron3Config& config,
                                                     const std::optional<fs::path>& cacheDirectory,
                                                     platform::MLComputeUnits computeUnits,
                                                     const ProgressHandler& progressHandler, std::stop_token stop) {
  const Repo repo(Repo::nemotron3Diarization);
  const fs::path root = cacheDirectory.value_or(MLModelConfigurationUtils::defaultModelsDirectory());
  const fs::path folder = root / repo.folderName();
  const std::string modelPath = config.hubSubdirectory() + "/" + config.modelFileName;
  const fs::path modelURL = folder / modelPath;

  discardStaleCache(folder);
  if (!fs::exists(modelURL / "coremldata.bin")) {
    logger().info("Downloading " + modelPath + " from " + repo.remotePath() + "...");
    ModelHub::download(repo, modelPath, folder, DownloadConfig::default_(), progressHandler, {}, stop);
  }

  std::set<std::string> missing;
  std::vector<std::string> required = {std::string(ModelNames::Nemotron3::silenceEmbeddingFile)};
  if (config.splitGraph) required.emplace_back(ModelNames::Nemotron3::preEncodeProjectionFile);
  for (const auto& name : required) {
    if (!fs::exists(folder / name)) missing.insert(name);
  }
  if (!missing.empty()) {
    // Exactly the missing top-level assets; folders are not descended into.
    const ModelHub::ShouldSkip skip = [missing](const std::string& path) { return !missing.contains(path); };
    ModelHub::download(repo, "", folder, DownloadConfig::default_(), {}, skip, stop);
  }

  try {
    platform::writeFileAtomically(folder / ModelNames::Nemotron3::weightsVersionFile,
                                  std::string(ModelNames::Nemotron3::weightsVersion) + "\n");
  } catch (const platform::Error&) {
    // The next load then finds no marker and fetches everything again: wasteful, not wrong.
  }
  return loadModelAndAssets(config, modelURL, folder, computeUnits, stop);
}

Nemotron3Models Nemotron3Models::load(const Nemotron3Config& config, const fs::path& directory,
                                      platform::MLComputeUnits computeUnits, std::stop_token stop) {
  return loadModelAndAssets(config, directory / config.modelFileName, directory, computeUnits, stop);
}

void Nemotron3Models::discardStaleCache(const fs::path& folder) {
  if (!fs::exists(fs::symlink_status(folder))) return;
  const auto marker = readBytes(folder / ModelNames::Nemotron3::weightsVersionFile);
  std::optional<std::string> tag;
  if (marker && platform::text::isValidUtf8(*marker)) tag = platform::text::trimWhitespaceAndNewlines(*marker);
  if (tag == ModelNames::Nemotron3::weightsVersion) return;
  logger().info("Cached Nemotron 3 models are from " + tag.value_or("an earlier release") + "; replacing with " +
                std::string(ModelNames::Nemotron3::weightsVersion) + ".");
  fs::remove_all(folder);
}

Nemotron3Models Nemotron3Models::loadModelAndAssets(const Nemotron3Config& config, const fs::path& modelURL,
                                                    const fs::path& assetsDirectory,
                                                    platform::MLComputeUnits computeUnits, std::stop_token stop) {
  const auto start = Clock::now();
  platform::MLModelConfiguration configuration;
  configuration.computeUnits = computeUnits;
  std::shared_ptr<const platform::MLModel> model;
  if (fs::exists(modelURL)) {
    model = ModelHub::openCompiledModel(modelURL, configuration);
  } else {
    const fs::path package = fs::path(modelURL).replace_extension(".mlpackage");
    if (!fs::exists(package)) {
      throw Nemotron3Error::modelLoadFailed("Neither " + config.modelFileName + " nor its .mlpackage found at " +
                                            modelURL.parent_path().string());
    }
    platform::CancellationError::throwIfRequested(stop);
    model = ModelHub::openCompiledModel(platform::MLModel::compileModel(package), configuration);
  }
  platform::CancellationError::throwIfRequested(stop);

  const auto silenceBytes = readBytes(assetsDirectory / ModelNames::Nemotron3::silenceEmbeddingFile);
  if (!silenceBytes) {
    throw Nemotron3Error::modelLoadFailed("Missing learnable_sil_emb.bin in " + assetsDirectory.string());
  }
  auto silence = floatsFromBytes(*silenceBytes);
  if (static_cast<std::int64_t>(silence.size()) != config.preEncoderDims) {
    throw Nemotron3Error::modelLoadFailed(
        fmt::format("learnable_sil_emb.bin has {} floats, expected {}", silence.size(), config.preEncoderDims));
  }

  std::optional<std::vector<float>> projection;
  if (config.splitGraph) {
    const auto bytes = readBytes(assetsDirectory / ModelNames::Nemotron3::preEncodeProjectionFile);
    if (!bytes || bytes->size() != kProjectionBytes) {
      throw Nemotron3Error::modelLoadFailed("Split-graph mode requires pre_encode_proj_t.bin ([1024,512] fp32) in " +
                                            assetsDirectory.string());
    }
    projection = floatsFromBytes(*bytes);
  }

  const double duration = secondsSince(start);
  logger().info(fmt::format("Loaded Nemotron 3 diarization model in {:.2f}s", duration));
  return Nemotron3Models(config, std::move(model), std::move(silence), std::move(projection), duration);
}

}  // namespace tesselaudio
