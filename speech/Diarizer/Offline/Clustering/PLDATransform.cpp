#include "speech/Diarizer/Offline/Clustering/PLDATransform.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <iterator>
#include <string>
#include <utility>

#include <fmt/format.h>

#include "platform/ml/MLFeatureValue.h"
#include "platform/ml/MLMultiArray.h"
#include "platform/sys/CancellationError.h"
#include "platform/sys/Error.h"
#include "speech/Diarizer/Offline/Core/OfflineDiarizationError.h"
#include "speech/Shared/MLModelExtensions.h"
#include "speech/Shared/ZeroCopyDiarizerFeatureProvider.h"

namespace tesselaudio {
namespace {

using platform::MLMultiArray;
using platform::MLMultiArrayDataType;

std::unique_ptr<platform::MLFeatureProvider> predict(const platform::MLModel& model,
                                                     const std::shared_ptr<MLMultiArray>& embeddings,
                                                     std::stop_token stop) {
  const ZeroCopyDiarizerFeatureProvider features(
      {{"embeddings", std::make_shared<const platform::MLFeatureValue>(embeddings)}});
  return compatPrediction(model, features, {}, std::move(stop));
}

}  // namespace

PLDATransform::PLDATransform(std::shared_ptr<const platform::MLModel> pldaRhoModel, std::vector<double> psi)
    : pldaRhoModel_(std::move(pldaRhoModel)),
      psi_(std::move(psi)),
      memoryOptimizer_(std::make_shared<ANEMemoryOptimizer>()),
      logger_("OfflinePLDA") {
  assert(pldaRhoModel_);
}

std::vector<std::vector<double>> PLDATransform::transform(const std::vector<std::vector<float>>& embeddings,
                                                          std::stop_token stop) const {
  if (embeddings.empty()) return {};
  for (const auto& embedding : embeddings) {
    if (static_cast<std::int64_t>(embedding.size()) != embeddingDimension) {
      throw OfflineDiarizationError::invalidConfiguration(
          fmt::format("Expected {}-dim embeddings, got {}", embeddingDimension, embedding.size()));
    }
  }
  try {
    performWarmup(stop);
  } catch (const platform::CancellationError&) {
    throw;
  } catch (...) {
    logger_.debug("PLDA warmup skipped due to error: " + platform::Error::messageOf(std::current_exception()));
  }
  platform::CancellationError::throwIfRequested(stop);

  std::vector<std::vector<double>> rows;
  rows.reserve(embeddings.size());
  const std::span<const std::vector<float>> all(embeddings);
  for (std::size_t start = 0; start < all.size(); start += maxBatchSize) {
    if (start > 0) platform::CancellationError::throwIfRequested(stop);
    const std::size_t count = std::min<std::size_t>(maxBatchSize, all.size() - start);
    auto batch = transformBatch(all.subspan(start, count), stop);
    std::move(batch.begin(), batch.end(), std::back_inserter(rows));
  }
  return rows;
}

std::vector<double> PLDATransform::transform(std::span<const float> embedding, std::stop_token stop) const {
  if (static_cast<std::int64_t>(embedding.size()) != embeddingDimension) {
    throw OfflineDiarizationError::invalidConfiguration(
        fmt::format("Expected {}-dim embedding, got {}", embeddingDimension, embedding.size()));
  }
  auto rows = transform(std::vector<std::vector<float>>{{embedding.begin(), embedding.end()}}, std::move(stop));
  return rows.empty() ? std::vector<double>{} : std::move(rows.front());
}

double PLDATransform::score(std::span<const double> a, std::span<const double> b) {
  if (static_cast<std::int64_t>(a.size()) != rhoDimension || b.size() != a.size()) return 0;
  double dot = 0, normA = 0, normB = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    dot += a[i] * b[i];
    normA += a[i] * a[i];
    normB += b[i] * b[i];
  }
  const double denominator = std::sqrt(normA) * std::sqrt(normB);
  return denominator > 0 ? dot / denominator : 0;
}

std::vector<std::vector<double>> PLDATransform::transformBatch(std::span<const std::vector<float>> batch,
                                                               std::stop_token stop) const {
  if (batch.empty()) return {};
  const auto count = static_cast<std::int64_t>(batch.size());
  if (count > maxBatchSize) {
    throw OfflineDiarizationError::invalidBatchSize(
        fmt::format("PldaRho batch size must be <= {}, got {}", maxBatchSize, count));
  }
  auto input = memoryOptimizer_->createAlignedArray({count, embeddingDimension}, MLMultiArrayDataType::float32);
  auto* rowsIn = static_cast<float*>(input->dataPointer());
  const std::int64_t rowStride = input->strides()[0];
  for (std::int64_t i = 0; i < count; ++i) {
    std::copy(batch[static_cast<std::size_t>(i)].begin(), batch[static_cast<std::size_t>(i)].end(),
              rowsIn + i * rowStride);
  }

  const auto outputs = predict(*pldaRhoModel_, input, std::move(stop));
  const auto value = outputs->featureValue("rho");
  if (!value || !value->multiArrayValue()) {
    throw OfflineDiarizationError::processingFailed("PldaRho model did not produce rho output");
  }
  const MLMultiArray& rho = *value->multiArrayValue();
  const std::int64_t needed = count * rhoDimension;
  if (rho.count() < needed) {
    throw OfflineDiarizationError::processingFailed(
        fmt::format("PldaRho output holds {} values, expected {}", rho.count(), needed));
  }
  const bool dense = rho.dataType() == MLMultiArrayDataType::float32 && rho.isContiguous();
  const auto* values = static_cast<const float*>(rho.dataPointer());
  std::vector<std::vector<double>> rows(static_cast<std::size_t>(count), std::vector<double>(rhoDimension));
  for (std::int64_t i = 0; i < count; ++i) {
    auto& row = rows[static_cast<std::size_t>(i)];
    for (std::int64_t j = 0; j < rhoDimension; ++j) {
      const std::int64_t at = i * rhoDimension + j;
      row[static_cast<std::size_t>(j)] = dense ? values[at] : rho[at].doubleValue();
    }
  }
  return rows;
}

void PLDATransform::performWarmup(std::stop_token stop) const {
  auto input = memoryOptimizer_->getPooledBuffer(fmt::format("offline_plda_warmup_embedding_{}", embeddingDimension),
                                                 {1, embeddingDimension}, MLMultiArrayDataType::float32);
  std::fill_n(static_cast<float*>(input->dataPointer()), embeddingDimension, 0.0f);
  predict(*pldaRhoModel_, input, std::move(stop));
}

}  // namespace tesselaudio
