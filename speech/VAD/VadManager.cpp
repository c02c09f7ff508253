#include "speech/VAD/VadManager.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cstring>
#include <exception>
#include <string>
#include <utility>

#include <fmt/format.h>

#include "platform/audio/PcmBuffer.h"
#include "platform/ml/MLFeatureProvider.h"
#include "platform/ml/MLModel.h"
#include "platform/ml/MLMultiArray.h"
#include "speech/Shared/Download/DownloadConfig.h"
#include "speech/Shared/Download/ModelHub.h"
#include "speech/Shared/MLModelConfigurationUtils.h"
#include "speech/Shared/ModelNames.h"
#include "speech/Shared/Repo.h"
#include "speech/Shared/ZeroCopyFeatureProvider.h"
#include "speech/VAD/VadError.h"

namespace tesselaudio {
namespace {

using platform::MLMultiArray;
using platform::MLMultiArrayDataType;
using Clock = std::chrono::steady_clock;

constexpr std::int64_t kStateLength = 128;
constexpr std::int64_t kAudioInputLength = VadManager::chunkSize + VadState::contextLength;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

std::string lowercased(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

// The output named `wanted` exactly, else the first output (in the provider's order) whose name
// contains it in any letter case; only an output holding a multi-array counts.
std::shared_ptr<MLMultiArray> featureValue(const platform::MLFeatureProvider& in, const std::string& wanted) {
  const auto exact = in.featureValue(wanted);
  if (exact && exact->multiArrayValue()) return exact->multiArrayValue();
  const auto lowered = lowercased(wanted);
  const auto names = in.featureNames();
  const auto found = std::find_if(names.begin(), names.end(), [&](const std::string& candidate) {
    return lowercased(candidate).find(lowered) != std::string::npos;
  });
  if (found == names.end()) return nullptr;
  const auto value = in.featureValue(*found);
  return value ? value->multiArrayValue() : nullptr;
}

// The first `count` elements of `array` as floats, whatever its element type and strides.
// Throws VadError::modelProcessingFailed naming the output when it holds fewer.
std::vector<float> leadingFloats(const MLMultiArray& array, std::int64_t count, const char* name) {
  if (array.count() < count) {
    throw VadError::modelProcessingFailed(
        fmt::format("Output {} holds {} values, {} needed", name, array.count(), count));
  }
  std::vector<float> values(static_cast<std::size_t>(count));
  if (array.dataType() == MLMultiArrayDataType::float32 && array.isContiguous()) {
    std::memcpy(values.data(), array.dataPointer(), values.size() * sizeof(float));
  } else {
    for (std::int64_t i = 0; i < count; ++i) values[static_cast<std::size_t>(i)] = array[i].floatValue();
  }
  return values;
}

// The first element of `array` as a float. Throws VadError::modelProcessingFailed naming the output
// when it is empty.
float firstFloat(const MLMultiArray& array, const char* name) {
  if (array.count() < 1) {
    throw VadError::modelProcessingFailed(fmt::format("Output {} holds 0 values, 1 needed", name));
  }
  return array[0].floatValue();
}

// At most `limit` leading values of `from`.
std::span<const float> atMost(std::span<const float> from, std::size_t limit) {
  return from.first(std::min(from.size(), limit));
}

}  // namespace

VadManager::VadManager(const VadConfig& config, const ProgressHandler& progressHandler, std::stop_token stop)
    : logger_("VadManager"), config_(config) {
  const auto start = Clock::now();
  loadUnifiedModel(std::nullopt, progressHandler, std::move(stop));
  logger_.info(fmt::format("VAD system initialized in {:.2f}s", secondsSince(start)));
}

VadManager::VadManager(const VadConfig& config, const std::filesystem::path& modelDirectory,
                       const ProgressHandler& progressHandler, std::stop_token stop)
    : logger_("VadManager"), config_(config) {
  const auto start = Clock::now();
  loadUnifiedModel(modelDirectory, progressHandler, std::move(stop));
  logger_.info(fmt::format("VAD system initialized in {:.2f}s", secondsSince(start)));
}

VadManager::VadManager(const VadConfig& config, std::shared_ptr<const platform::MLModel> vadModel)
    : logger_("VadManager"), config_(config), vadModel_(std::move(vadModel)) {
  logger_.info("VAD initialized with provided model");
}

VadManager::~VadManager() = default;

bool VadManager::isAvailable() const { return vadModel_ != nullptr; }

void VadManager::loadUnifiedModel(const std::optional<std::filesystem::path>& from,
                                  const ProgressHandler& progressHandler, std::stop_token stop) {
  const auto modelsDirectory = from ? *from / "Models" : MLModelConfigurationUtils::defaultModelsDirectory();
  const auto& required = ModelNames::VAD::requiredModels();
  const std::vector<std::string> names(required.begin(), required.end());
  const auto models = ModelHub::loadModels(Repo::vad, names, modelsDirectory, config_.computeUnits, std::nullopt,
                                           DownloadConfig::default_(), progressHandler, std::move(stop));
  const auto model = models.find(std::string(ModelNames::VAD::sileroVadFile));
  if (model == models.end() || !model->second) {
    logger_.error("Failed to load VAD model from downloaded models");
    throw VadError::modelLoadingFailed();
  }
  vadModel_ = model->second;
  logger_.info("VAD model loaded successfully");
}

std::vector<VadResult> VadManager::process(const std::filesystem::path& url) {
  std::scoped_lock lock(mutex_);
  return processAudioSamples(audioConverter_.resampleAudioFile(url));
}

std::vector<VadResult> VadManager::process(const platform::PcmBuffer& buffer) {
  std::scoped_lock lock(mutex_);
  return processAudioSamples(audioConverter_.resampleBuffer(buffer));
}

std::vector<VadResult> VadManager::process(std::span<const float> samples) {
  std::scoped_lock lock(mutex_);
  return processAudioSamples(samples);
}

VadResult VadManager::processChunk(std::span<const float> chunk, const std::optional<VadState>& inputState) {
  std::scoped_lock lock(mutex_);
  return processChunkLocked(chunk, inputState ? *inputState : VadState::initial());
}

std::vector<VadResult> VadManager::processAudioSamples(std::span<const float> samples) {
  std::vector<VadResult> results;
  if (samples.empty()) return results;
  results.reserve((samples.size() + chunkSize - 1) / chunkSize);
  const VadState initial = VadState::initial();
  for (std::size_t offset = 0; offset < samples.size(); offset += chunkSize) {
    // Each chunk reads the state of the result before it in place: no copy per chunk.
    const VadState& state = results.empty() ? initial : results.back().outputState;
    // A whole chunk after a whole chunk has its context right before it: no copy of an hour of audio.
    const bool inPlace = offset >= chunkSize && samples.size() - offset >= chunkSize;
    const auto window = inPlace ? samples.subspan(offset - VadState::contextLength, kAudioInputLength)
                                : std::span<const float>();
    auto result = processChunkLocked(atMost(samples.subspan(offset), chunkSize), state, window);
    results.push_back(std::move(result));
  }
  return results;
}

VadResult VadManager::processChunkLocked(std::span<const float> chunk, const VadState& inputState,
                                         std::span<const float> window) {
  if (!vadModel_) throw VadError::notInitialized();
  const auto start = Clock::now();
  const auto normalised = normalisedChunk(chunk);
  auto output = processUnifiedModel(normalised, inputState, window);
  const auto context = normalised.last(VadState::contextLength);
  VadResult result;
  result.probability = output.probability;
  result.isVoiceActive = output.probability >= config_.defaultThreshold;
  result.outputState = VadState{std::move(output.hiddenState), std::move(output.cellState),
                                std::vector<float>(context.begin(), context.end())};
  result.processingTime = secondsSince(start);
  return result;
}

std::span<const float> VadManager::normalisedChunk(std::span<const float> chunk) {
  if (chunk.size() >= static_cast<std::size_t>(chunkSize)) return chunk.first(chunkSize);
  paddedChunk_.assign(chunk.begin(), chunk.end());
  paddedChunk_.resize(chunkSize, chunk.empty() ? 0.0f : chunk.back());
  return paddedChunk_;
}

VadManager::ModelOutput VadManager::processUnifiedModel(std::span<const float> chunk, const VadState& inputState,
                                                        std::span<const float> window) {
  try {
    return runModel(chunk, inputState, window);
  } catch (...) {
    const auto description = platform::Error::messageOf(std::current_exception());
    logger_.error("Model processing failed: " + description);
    throw VadError::modelProcessingFailed(description);
  }
}

VadManager::ModelOutput VadManager::runModel(std::span<const float> chunk, const VadState& inputState,
                                             std::span<const float> window) {
  const auto& pooled = modelInputs();
  auto& hidden = *pooled.features().at("hidden_state")->multiArrayValue();
  auto& cell = *pooled.features().at("cell_state")->multiArrayValue();
  memoryOptimizer_.optimizedCopy(atMost(inputState.hiddenState, kStateLength), hidden, 0, true);
  memoryOptimizer_.optimizedCopy(atMost(inputState.cellState, kStateLength), cell, 0, true);
  if (window.size() == static_cast<std::size_t>(kAudioInputLength)) {
    // The model only reads its inputs, so the caller's const samples can stand behind the array.
    auto view = std::make_shared<MLMultiArray>(const_cast<float*>(window.data()),
                                               std::vector<std::int64_t>{1, kAudioInputLength},
                                               MLMultiArrayDataType::float32, std::vector<std::int64_t>{kAudioInputLength, 1});
    const ZeroCopyFeatureProvider inPlace({{"audio_input", std::make_shared<platform::MLFeatureValue>(std::move(view))},
                                           {"hidden_state", pooled.features().at("hidden_state")},
                                           {"cell_state", pooled.features().at("cell_state")}});
    return readOutputs(*vadModel_->prediction(inPlace));
  }
  auto& audio = *pooled.features().at("audio_input")->multiArrayValue();
  const auto context = atMost(inputState.context, VadState::contextLength);
  memoryOptimizer_.optimizedCopy(context, audio, 0, false);
  // A short context leaves zeros before the chunk.
  if (context.size() < static_cast<std::size_t>(VadState::contextLength)) {
    static constexpr std::array<float, VadState::contextLength> kZeros{};
    memoryOptimizer_.optimizedCopy(std::span<const float>(kZeros).first(VadState::contextLength - context.size()),
                                   audio, static_cast<std::int64_t>(context.size()), false);
  }
  memoryOptimizer_.optimizedCopy(atMost(chunk, chunkSize), audio, VadState::contextLength, true);
  return readOutputs(*vadModel_->prediction(pooled));
}

VadManager::ModelOutput VadManager::readOutputs(const platform::MLFeatureProvider& outputs) const {
  static const std::string kProbability = "vad_output";
  static const std::string kHiddenState = "new_hidden_state";
  static const std::string kCellState = "new_cell_state";
  const auto probability = featureValue(outputs, kProbability);
  if (!probability) {
    logger_.error("No vad output found");
    throw VadError::modelProcessingFailed("No VAD output");
  }
  const auto newHidden = featureValue(outputs, kHiddenState);
  if (!newHidden) {
    logger_.error("No new hidden state output found");
    throw VadError::modelProcessingFailed("No new hidden state output");
  }
  const auto newCell = featureValue(outputs, kCellState);
  if (!newCell) {
    logger_.error("No new cell state output found");
    throw VadError::modelProcessingFailed("No new cell state output");
  }

  ModelOutput output;
  output.probability = firstFloat(*probability, "vad_output");
  output.hiddenState = leadingFloats(*newHidden, kStateLength, "new_hidden_state");
  output.cellState = leadingFloats(*newCell, kStateLength, "new_cell_state");
  return output;
}

const ZeroCopyFeatureProvider& VadManager::modelInputs() {
  // The pool hands out the same three buffers for the manager's life, so one provider serves
  // every chunk.
  if (!modelInputs_) {
    const auto f32 = MLMultiArrayDataType::float32;
    const auto value = [&](const char* key, std::int64_t length) {
      return std::make_shared<platform::MLFeatureValue>(memoryOptimizer_.getPooledBuffer(key, {1, length}, f32));
    };
    modelInputs_ = std::make_unique<ZeroCopyFeatureProvider>(
        ZeroCopyFeatureProvider::Features{{"audio_input", value("vad_audio_input", kAudioInputLength)},
                                          {"hidden_state", value("vad_hidden_state", kStateLength)},
                                          {"cell_state", value("vad_cell_state", kStateLength)}});
  }
  return *modelInputs_;
}

}  // namespace tesselaudio
