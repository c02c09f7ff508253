#include "speech/Diarizer/Extraction/EmbeddingExtractor.h"

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <string>
#include <utility>

#include "platform/ml/MLFeatureValue.h"
#include "speech/Diarizer/Core/DiarizerError.h"
#include "speech/Shared/MLModelExtensions.h"
#include "speech/Shared/ZeroCopyDiarizerFeatureProvider.h"

namespace tesselaudio {

using platform::MLMultiArray;
using platform::MLMultiArrayDataType;

namespace {

constexpr std::int64_t kWindowSamples = 160000;
constexpr std::int64_t kWaveformRows = 3;

// Repeats the first `filled` values of `row` until `length` are filled, doubling the copied
// prefix each time, so the row reads the prefix, the prefix again, ... with the last copy cut.
void repeatPrefix(float* row, std::int64_t filled, std::int64_t length) {
  if (filled < 1) return;
  while (filled < length) {
    const std::int64_t n = std::min(length - filled, filled);
    std::memcpy(row + filled, row, static_cast<std::size_t>(n) * sizeof(float));
    filled += n;
  }
}

// The mask frames that real audio covers, rounded to the nearest frame with halves upwards.
std::int64_t coveredFrames(std::int64_t maskFrames, std::int64_t samples) {
  if (samples >= kWindowSamples) return maskFrames;
  return std::min(maskFrames, (maskFrames * samples + kWindowSamples / 2) / kWindowSamples);
}

void checkMaskLengths(const std::vector<std::vector<float>>& masks) {
  const std::size_t frames = masks.front().size();
  for (std::size_t i = 1; i < masks.size(); ++i) {
    if (masks[i].size() != frames) {
      throw DiarizerError::processingFailed(
          "Embedding mask " + std::to_string(i) + " has " + std::to_string(masks[i].size()) +
          " frames where the first has " + std::to_string(frames));
    }
  }
}

}  // namespace

EmbeddingExtractor::EmbeddingExtractor(std::shared_ptr<const platform::MLModel> embeddingModel)
    : wespeakerModel_(std::move(embeddingModel)), logger_("EmbeddingExtractor") {
  assert(wespeakerModel_);
  logger_.info("EmbeddingExtractor ready with ANE memory optimizer");
}

std::vector<std::vector<float>> EmbeddingExtractor::getEmbeddings(
    std::span<const float> audio, const std::vector<std::vector<float>>& masks,
    float minActivityThreshold) {
  if (masks.empty()) return {};
  checkMaskLengths(masks);
  const auto maskFrames = static_cast<std::int64_t>(masks.front().size());

  auto waveform = memoryOptimizer_.createAlignedArray({kWaveformRows, kWindowSamples},
                                                      MLMultiArrayDataType::float32);
  auto maskInput =
      memoryOptimizer_.createAlignedArray({kWaveformRows, maskFrames}, MLMultiArrayDataType::float32);
  fillWaveformBuffer(audio, *waveform);
  const std::int64_t covered = coveredFrames(maskFrames, static_cast<std::int64_t>(audio.size()));

  const ZeroCopyDiarizerFeatureProvider features(
      {{"waveform", std::make_shared<const platform::MLFeatureValue>(waveform)},
       {"mask", std::make_shared<const platform::MLFeatureValue>(maskInput)}});
  // Row 0 of an aligned array is contiguous whatever the padding of its rows.
  float* maskRow = static_cast<float*>(maskInput->dataPointer());

  std::vector<std::vector<float>> embeddings;
  embeddings.reserve(masks.size());
  for (const auto& mask : masks) {
    const float activity = std::accumulate(mask.begin(), mask.end(), 0.0f);
    if (minActivityThreshold > activity) {
      embeddings.emplace_back(kEmbeddingSize, 0.0f);
      continue;
    }
    std::fill(maskRow, maskRow + maskFrames, 0.0f);
    std::copy_n(mask.begin(), covered, maskRow);
    repeatPrefix(maskRow, covered, maskFrames);
    auto outputs = compatPrediction(*wespeakerModel_, features, {}, {});
    embeddings.push_back(extractEmbeddingOptimized(*outputs));
  }
  return embeddings;
}

void EmbeddingExtractor::fillWaveformBuffer(std::span<const float> audio,
                                            MLMultiArray& waveform) const {
  const std::size_t capacity = static_cast<std::size_t>(kWaveformRows * kWindowSamples);
  memoryOptimizer_.optimizedCopy(audio.first(std::min(audio.size(), capacity)), waveform, 0, false);
  if (static_cast<std::int64_t>(audio.size()) < kWindowSamples) {
    repeatPrefix(static_cast<float*>(waveform.dataPointer()),
                 static_cast<std::int64_t>(audio.size()), kWindowSamples);
  }
}

std::vector<float> EmbeddingExtractor::extractEmbeddingOptimized(
    const platform::MLFeatureProvider& outputs) const {
  std::vector<float> embedding(kEmbeddingSize, 0.0f);
  const auto value = outputs.featureValue("embedding");
  if (!value || !value->multiArrayValue()) return embedding;
  const MLMultiArray& array = *value->multiArrayValue();
  if (array.dataType() == MLMultiArrayDataType::float32 && array.isContiguous()) {
    try {
      const auto view = memoryOptimizer_.createZeroCopyView(array, {kEmbeddingSize}, 0);
      const auto* data = static_cast<const float*>(view->dataPointer());
      std::copy_n(data, kEmbeddingSize, embedding.begin());
      return embedding;
    } catch (const platform::Error& error) {
      logger_.debug(std::string("Reading embedding by element: ") + error.description());
    }
  }
  // A short output fills what it has; the rest stays zero.
  const std::int64_t n = std::min<std::int64_t>(array.count(), kEmbeddingSize);
  for (std::int64_t i = 0; i < n; ++i) embedding[static_cast<std::size_t>(i)] = array[i].floatValue();
  return embedding;
}

}  // namespace tesselaudio
