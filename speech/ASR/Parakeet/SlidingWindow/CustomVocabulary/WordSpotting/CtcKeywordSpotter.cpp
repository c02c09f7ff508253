#include "speech/ASR/Parakeet/SlidingWindow/CustomVocabulary/WordSpotting/CtcKeywordSpotter.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "platform/ml/Float16.h"
#include "platform/ml/MLDictionaryFeatureProvider.h"
#include "platform/ml/MLFeatureValue.h"
#include "platform/ml/MLModel.h"
#include "platform/ml/MLMultiArray.h"
#include "platform/ml/MLPredictionOptions.h"
#include "platform/sys/CancellationError.h"
#include "platform/text/Graphemes.h"
#include "speech/ASR/Parakeet/ASRError.h"
#include "speech/Shared/MLMultiArrayExtensions.h"

namespace tesselaudio {
namespace {

constexpr const char* kRawOutput = "ctc_head_raw_output";
constexpr const char* kSoftmaxOutput = "ctc_head_output";
constexpr float kLn2 = 0.6931472f;

std::string shapeText(const std::vector<int64_t>& shape) { return fmt::format("[{}]", fmt::join(shape, ", ")); }

std::shared_ptr<platform::MLMultiArray> multiArrayNamed(const platform::MLFeatureProvider& provider,
                                                        const std::string& name) {
  std::shared_ptr<const platform::MLFeatureValue> value = provider.featureValue(name);
  return value ? value->multiArrayValue() : nullptr;
}

std::shared_ptr<platform::MLMultiArray> lengthArray(std::int64_t value) {
  auto array = std::make_shared<platform::MLMultiArray>(std::vector<int64_t>{1}, platform::MLMultiArrayDataType::int32);
  static_cast<std::int32_t*>(array->dataPointer())[0] = static_cast<std::int32_t>(value);
  return array;
}

// The average in the probability domain; the shorter length wins.
std::vector<float> averageRows(const std::vector<float>& a, const std::vector<float>& b) {
  std::vector<float> averaged(std::min(a.size(), b.size()));
  for (std::size_t i = 0; i < averaged.size(); ++i) {
    const float m = std::max(a[i], b[i]);
    averaged[i] = m == -std::numeric_limits<float>::infinity()
                      ? m
                      : m + std::log(std::exp(a[i] - m) + std::exp(b[i] - m)) - kLn2;
  }
  return averaged;
}

// Reads the elements of any of the four element types as float32, from the raw buffer.
std::vector<float> widenedElements(const platform::MLMultiArray& array) {
  std::int64_t extent = 1;
  for (std::size_t i = 0; i < array.shape().size(); ++i) extent += (array.shape()[i] - 1) * array.strides()[i];
  std::vector<float> values(static_cast<std::size_t>(std::max<std::int64_t>(extent, 0)));
  const void* data = array.dataPointer();
  switch (array.dataType()) {
    case platform::MLMultiArrayDataType::float16:
      platform::convertFloat16ToFloat(static_cast<const std::uint16_t*>(data), values.data(), values.size());
      break;
    case platform::MLMultiArrayDataType::float32:
      std::copy_n(static_cast<const float*>(data), values.size(), values.begin());
      break;
    case platform::MLMultiArrayDataType::float64:
      std::transform(static_cast<const double*>(data), static_cast<const double*>(data) + values.size(),
                     values.begin(), [](double v) { return static_cast<float>(v); });
      break;
    case platform::MLMultiArrayDataType::int32:
      std::transform(static_cast<const std::int32_t*>(data), static_cast<const std::int32_t*>(data) + values.size(),
                     values.begin(), [](std::int32_t v) { return static_cast<float>(v); });
      break;
  }
  return values;
}

void subtractBlankBias(std::vector<float>& row, int blankId, float blankBias) {
  if (blankBias != 0 && blankId >= 0 && static_cast<std::size_t>(blankId) < row.size()) {
    row[static_cast<std::size_t>(blankId)] -= blankBias;
  }
}

}  // namespace

CtcKeywordSpotter::CtcKeywordSpotter(CtcModels models, int blankId) : models(std::move(models)), blankId(blankId) {}

CtcKeywordSpotter::SpotKeywordsResult CtcKeywordSpotter::spotKeywordsWithLogProbs(
    std::span<const float> audioSamples, const CustomVocabularyContext& customVocabulary,
    std::optional<float> minScore, std::stop_token stop) const {
  CtcLogProbResult computed;
  if (!audioSamples.empty()) {
    computed = std::ssize(audioSamples) > maxModelSamples ? computeLogProbsChunked(audioSamples, stop)
                                                          : computeWithStagedModels(audioSamples, stop);
  }
  return spotKeywordsFromLogProbs(computed.logProbs, computed.frameDuration, customVocabulary, minScore);
}

CtcKeywordSpotter::SpotKeywordsResult CtcKeywordSpotter::spotKeywordsFromLogProbs(
    const CtcLogProbMatrix& logProbs, double frameDuration, const CustomVocabularyContext& customVocabulary,
    std::optional<float> minScore) const {
  if (logProbs.empty()) return {};
  SpotKeywordsResult result{{}, logProbs, frameDuration, static_cast<int>(logProbs.size())};
  for (const CustomVocabularyTerm& term : customVocabulary.terms) {
    const auto length = static_cast<std::int64_t>(platform::text::graphemeCount(term.text));
    if (length < customVocabulary.minTermLength) {
      if (debugMode) {
        logger.debug(fmt::format("  Skipping '{}': too short ({} < {} chars)", term.text, length,
                                 customVocabulary.minTermLength));
      }
      continue;
    }
    const std::optional<std::vector<std::int64_t>>& tokens = term.ctcTokenIds ? term.ctcTokenIds : term.tokenIds;
    if (!tokens || tokens->empty()) continue;

    float threshold = ContextBiasingConstants::defaultMinSpotterScore;
    if (minScore) {
      const auto extra = std::max<std::int64_t>(
          0, static_cast<std::int64_t>(tokens->size()) - ContextBiasingConstants::baselineTokenCountForThreshold);
      threshold = *minScore - static_cast<float>(extra) * ContextBiasingConstants::thresholdRelaxationPerToken;
    }
    for (const CtcDPAlgorithm::Detection& found :
         CtcDPAlgorithm::ctcWordSpotMultiple(logProbs, *tokens, threshold, true, blankId)) {
      result.detections.push_back({term, found.score, result.totalFrames, found.startFrame, found.endFrame,
                                   found.startFrame * frameDuration, found.endFrame * frameDuration});
    }
  }
  return result;
}

CtcKeywordSpotter::CtcLogProbResult CtcKeywordSpotter::computeWithStagedModels(std::span<const float> audioSamples,
                                                                               std::stop_token stop) const {
  platform::CancellationError::throwIfRequested(stop);
  auto [audio, sampleCount] = prepareAudioArray(audioSamples);
  const platform::MLPredictionOptions options;  // no output backings: the models make their own arrays
  std::unique_ptr<platform::MLFeatureProvider> melOutput =
      models.melSpectrogram->prediction(*makeAudioFeatureProvider(std::move(audio), sampleCount), options);
  std::shared_ptr<platform::MLMultiArray> melFeatures = multiArrayNamed(*melOutput, "melspectrogram_features");
  if (!melFeatures) throw ASRError::processingFailed("Missing melspectrogram_features from CTC MelSpectrogram model");

  std::optional<std::int64_t> melLength;
  if (std::shared_ptr<platform::MLMultiArray> lengths = multiArrayNamed(*melOutput, "mel_length")) {
    melLength = (*lengths)[0].int64Value();
  } else if (!melFeatures->shape().empty()) {
    melLength = melFeatures->shape().back();
  }
  if (melFeatures->shape().size() == 4) melLength = melFeatures->shape()[2];
  if (debugMode) {
    logger.debug(fmt::format("Mel features shape: {}, mel_length: {}", shapeText(melFeatures->shape()),
                             melLength ? std::to_string(*melLength) : std::string("nil")));
  }

  platform::CancellationError::throwIfRequested(stop);
  std::unique_ptr<platform::MLFeatureProvider> encoderOutput =
      models.encoder->prediction(*makeEncoderInput(melFeatures, melLength), options);
  std::shared_ptr<platform::MLMultiArray> raw = multiArrayNamed(*encoderOutput, kRawOutput);
  std::shared_ptr<platform::MLMultiArray> softmaxed = multiArrayNamed(*encoderOutput, kSoftmaxOutput);
  const std::shared_ptr<platform::MLMultiArray>& chosen = raw ? raw : softmaxed;
  if (!chosen) {
    throw ASRError::processingFailed(
        "Missing CTC head output from encoder model (expected ctc_head_raw_output or ctc_head_output)");
  }
  if (debugMode) {
    logger.debug(fmt::format("CTC outputs available: ctc_head_raw_output={}, ctc_head_output={}", raw != nullptr,
                             softmaxed != nullptr));
    logger.debug("CTC raw output shape: " + shapeText(chosen->shape()));
    logger.debug(raw ? "Using output: ctc_head_raw_output (raw logits)" : "Using output: ctc_head_output (post-softmax)");
  }

  const CtcLogProbMatrix all = makeLogProbs(*chosen, temperature, blankBias, blankId);
  CtcLogProbResult result;
  result.logProbs = trimLogProbs(all, sampleCount);
  result.totalFrames = static_cast<int>(result.logProbs.size());
  result.audioSamplesUsed = sampleCount;
  result.frameDuration =
      result.totalFrames == 0 ? 0 : (static_cast<double>(sampleCount) / result.totalFrames) / sampleRate;
  if (debugMode) {
    logger.debug(fmt::format("Log-probs: {} frames (total: {}), vocab size: {}", result.totalFrames, all.size(),
                             result.logProbs.empty() ? 0 : result.logProbs.front().size()));
  }
  return result;
}

CtcKeywordSpotter::CtcLogProbResult CtcKeywordSpotter::computeLogProbsChunked(std::span<const float> audioSamples,
                                                                              std::stop_token stop) const {
  const auto total = static_cast<std::int64_t>(audioSamples.size());
  const std::int64_t stride = maxModelSamples - chunkOverlapSamples;
  std::vector<std::pair<std::int64_t, std::int64_t>> chunks;
  for (std::int64_t start = 0;; start += stride) {
    chunks.emplace_back(start, std::min(start + maxModelSamples, total));
    if (start + maxModelSamples >= total || stride <= 0) break;
  }
  if (debugMode) {
    logger.debug("=== Chunked CTC Processing ===");
    logger.debug(fmt::format("Total samples: {} ({:.2f}s)", total, static_cast<double>(total) / sampleRate));
    logger.debug(fmt::format("Chunk size: {}, overlap: {}, stride: {}", maxModelSamples, chunkOverlapSamples, stride));
    logger.debug(fmt::format("Number of chunks: {}", chunks.size()));
  }

  std::vector<CtcLogProbResult> results;
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    const auto [start, end] = chunks[i];
    if (debugMode) {
      logger.debug(fmt::format("  Chunk {}/{}: samples [{}-{}] = [{:.2f}-{:.2f}s]", i + 1, chunks.size(), start, end,
                               static_cast<double>(start) / sampleRate, static_cast<double>(end) / sampleRate));
    }
    results.push_back(computeWithStagedModels(
        audioSamples.subspan(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start)), stop));
    if (debugMode) {
      logger.debug(fmt::format("    -> {} frames, frameDuration={:.4f}s", results.back().totalFrames,
                               results.back().frameDuration));
    }
  }
  if (results.empty() || !(results.front().frameDuration > 0)) return {};

  const double frameDuration = results.front().frameDuration;
  const auto overlapFrames =
      static_cast<std::size_t>((static_cast<double>(chunkOverlapSamples) / sampleRate) / frameDuration);
  CtcLogProbMatrix merged;
  for (std::size_t i = 0; i < results.size(); ++i) {
    CtcLogProbMatrix& rows = results[i].logProbs;
    if (i == 0) {
      merged = std::move(rows);
      continue;
    }
    const std::size_t shared = std::min(merged.size(), overlapFrames);
    const std::size_t averaged = std::min(rows.size(), shared);
    const std::size_t tail = merged.size() - averaged;
    for (std::size_t j = 0; j < averaged; ++j) {
      if (merged[tail + j].empty() || rows[j].empty()) continue;
      merged[tail + j] = averageRows(merged[tail + j], rows[j]);
    }
    if (shared < rows.size()) {
      merged.insert(merged.end(), std::make_move_iterator(rows.begin() + static_cast<std::ptrdiff_t>(averaged)),
                    std::make_move_iterator(rows.end()));
    }
  }
  if (debugMode) {
    logger.debug(fmt::format("Concatenated: {} total frames", merged.size()));
    logger.debug(fmt::format("Overlap frames averaged: {} per boundary", overlapFrames));
    logger.debug("==============================");
  }
  CtcLogProbResult result;
  result.totalFrames = static_cast<int>(merged.size());
  result.logProbs = std::move(merged);
  result.frameDuration = frameDuration;
  result.audioSamplesUsed = static_cast<int>(total);
  return result;
}

std::pair<std::shared_ptr<platform::MLMultiArray>, int> CtcKeywordSpotter::prepareAudioArray(
    std::span<const float> samples) const {
  bool rank2 = false;
  bool half = false;
  const auto& inputs = models.melSpectrogram->modelDescription().inputDescriptionsByName;
  if (auto found = inputs.find("audio"); found != inputs.end() && found->second.multiArrayConstraint) {
    rank2 = found->second.multiArrayConstraint->shape.size() == 2;
    half = found->second.multiArrayConstraint->dataType == platform::MLMultiArrayDataType::float16;
  }
  const std::vector<int64_t> shape = rank2 ? std::vector<int64_t>{1, maxModelSamples}
                                           : std::vector<int64_t>{maxModelSamples};
  auto array = std::make_shared<platform::MLMultiArray>(
      shape, half ? platform::MLMultiArrayDataType::float16 : platform::MLMultiArrayDataType::float32);
  resetData(*array, platform::NSNumber(0.0));
  const auto count = static_cast<std::size_t>(std::min<std::int64_t>(maxModelSamples, std::ssize(samples)));
  if (half) {
    platform::convertFloatToFloat16(samples.data(), static_cast<std::uint16_t*>(array->dataPointer()), count);
  } else {
    std::copy_n(samples.begin(), count, static_cast<float*>(array->dataPointer()));
  }

  if (debugMode && count > 0) {
    float absMax = 0;
    double sum = 0;
    for (std::size_t i = 0; i < count; ++i) {
      absMax = std::max(absMax, std::abs(samples[i]));
      sum += samples[i];
    }
    logger.debug(fmt::format("  Audio input: count={}/{}, abs_max={:.4f}, mean={:.6f}", count, maxModelSamples, absMax,
                             sum / static_cast<double>(count)));
    std::vector<std::string> middle;
    for (std::size_t i = count / 2; i < count && middle.size() < 5; ++i) middle.push_back(fmt::format("{:.4f}", samples[i]));
    logger.debug("  mid_5=[" + fmt::format("{}", fmt::join(middle, ", ")) + "]");
  }
  return {std::move(array), static_cast<int>(count)};
}

std::unique_ptr<platform::MLFeatureProvider> CtcKeywordSpotter::makeAudioFeatureProvider(
    std::shared_ptr<platform::MLMultiArray> array, int length) const {
  return std::make_unique<platform::MLDictionaryFeatureProvider>(
      std::map<std::string, std::shared_ptr<platform::MLMultiArray>>{{"audio", std::move(array)},
                                                                    {"audio_length", lengthArray(length)}});
}

std::unique_ptr<platform::MLFeatureProvider> CtcKeywordSpotter::makeEncoderInput(
    std::shared_ptr<platform::MLMultiArray> melFeatures, std::optional<std::int64_t> melLength) const {
  if (!melLength && !melFeatures->shape().empty()) melLength = melFeatures->shape().back();
  if (!melLength || *melLength < 1 || *melLength > std::numeric_limits<std::int32_t>::max()) {
    throw ASRError::processingFailed("Invalid mel_length for CTC encoder input");
  }
  std::map<std::string, std::shared_ptr<platform::MLMultiArray>> inputs{
      {"melspectrogram_features", std::move(melFeatures)}, {"mel_length", lengthArray(*melLength)}};
  auto extra = std::make_shared<platform::MLMultiArray>(std::vector<int64_t>{1, 1, 1, 1},
                                                        platform::MLMultiArrayDataType::float16);
  extra->set(0, platform::NSNumber(1.0));
  inputs.emplace("input_1", std::move(extra));
  return std::make_unique<platform::MLDictionaryFeatureProvider>(inputs);
}

CtcLogProbMatrix CtcKeywordSpotter::makeLogProbs(const platform::MLMultiArray& from, float temperature,
                                                 float blankBias, int blankId) {
  const std::vector<int64_t>& shape = from.shape();
  const std::vector<int64_t>& strides = from.strides();
  std::int64_t frames = 0;
  std::int64_t width = 0;
  std::int64_t frameStride = 0;
  std::int64_t vocabularyStride = 0;
  if (shape.size() == 3) {
    frames = shape[1];
    width = shape[2];
    frameStride = strides[1];
    vocabularyStride = strides[2];
  } else if (shape.size() == 4) {
    frames = shape[3];
    width = shape[1];
    frameStride = strides[3];
    vocabularyStride = strides[1];
  } else {
    throw ASRError::processingFailed("Unexpected CTC output rank: " + shapeText(shape));
  }
  // An empty batch has no elements behind it at all.
  if (frames < 1 || width < 1 || from.count() == 0) return {};

  const std::vector<float> values = widenedElements(from);
  CtcLogProbMatrix matrix(static_cast<std::size_t>(frames));
  std::vector<float> logits(static_cast<std::size_t>(width));
  for (std::int64_t t = 0; t < frames; ++t) {
    for (std::int64_t v = 0; v < width; ++v) {
      logits[static_cast<std::size_t>(v)] = values[static_cast<std::size_t>(t * frameStride + v * vocabularyStride)];
    }
    matrix[static_cast<std::size_t>(t)] = logSoftmax(logits, temperature);
    subtractBlankBias(matrix[static_cast<std::size_t>(t)], blankId, blankBias);
  }
  return matrix;
}

std::vector<float> CtcKeywordSpotter::logSoftmax(std::span<const float> logits, float temperature) {
  if (logits.empty()) return {};
  std::vector<float> values(logits.begin(), logits.end());
  if (temperature != 1.0f) {
    for (float& value : values) value /= temperature;
  }
  const float m = *std::max_element(values.begin(), values.end());
  float sum = 0;
  for (float value : values) sum += std::exp(value - m);
  const float logSum = std::log(sum);
  for (float& value : values) value = value - m - logSum;
  return values;
}

CtcLogProbMatrix CtcKeywordSpotter::trimLogProbs(const CtcLogProbMatrix& logProbs, int audioSampleCount) const {
  if (logProbs.empty() || audioSampleCount >= maxModelSamples) return logProbs;
  const auto frames = static_cast<std::int64_t>(logProbs.size());
  const double samplesPerFrame = static_cast<double>(maxModelSamples) / static_cast<double>(frames);
  const auto validFrames = static_cast<std::int64_t>(std::ceil(audioSampleCount / samplesPerFrame));
  const std::int64_t kept = std::clamp<std::int64_t>(validFrames, 1, frames);
  if (debugMode) {
    logger.debug("[DEBUG] Trimming CTC frames:");
    logger.debug(fmt::format("[DEBUG]   totalFrames={}, sampleCount={}, maxModelSamples={}", frames, audioSampleCount,
                             maxModelSamples));
    logger.debug(fmt::format("[DEBUG]   samplesPerFrame={:.2f}, validFrames={}, clampedFrames={}", samplesPerFrame,
                             validFrames, kept));
  }
  return CtcLogProbMatrix(logProbs.begin(), logProbs.begin() + kept);
}

CtcLogProbMatrix CtcKeywordSpotter::applyLogSoftmax(const CtcLogProbMatrix& rawLogits, int blankId, float temperature,
                                                    float blankBias) {
  CtcLogProbMatrix matrix;
  matrix.reserve(rawLogits.size());
  for (const std::vector<float>& row : rawLogits) {
    matrix.push_back(logSoftmax(row, temperature));
    subtractBlankBias(matrix.back(), blankId, blankBias);
  }
  return matrix;
}

}  // namespace tesselaudio
