#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <stop_token>
#include <vector>

#include "platform/ml/MLModel.h"
#include "speech/Shared/ANEMemoryOptimizer.h"
#include "speech/Shared/AppLogger.h"

namespace tesselaudio {

// Projects 256-value speaker embeddings into the 128-value PLDA space ("rho") in which VBx
// clusters, with the PldaRho model, and carries the PLDA psi vector (VBx's Phi). A value: copies
// share the model and the warm-up buffer pool; safe from any thread.
//
//   PLDATransform plda(models.pldaRhoModel, models.pldaPsi);
//   auto rho = plda.transform(embeddings, stop);   // one row of 128 per embedding
//   double similarity = PLDATransform::score(rho[0], rho[1]);
//
// Model contract: input "embeddings", float32 [batch, 256]; output "rho", float32 [batch, 128].
class PLDATransform {
 public:
  static constexpr std::int64_t embeddingDimension = 256;
  static constexpr std::int64_t rhoDimension = 128;
  static constexpr std::int64_t maxBatchSize = 32;

  // REQUIRES: `pldaRhoModel` is not null.
  PLDATransform(std::shared_ptr<const platform::MLModel> pldaRhoModel, std::vector<double> psi);

  const std::shared_ptr<const platform::MLModel>& pldaRhoModel() const { return pldaRhoModel_; }
  const std::vector<double>& psi() const { return psi_; }
  // The same as psi().
  const std::vector<double>& phiParameters() const { return psi_; }

  // The rho vector of each embedding, in order, from model calls of at most 32 rows after one
  // warm-up prediction on zeros (a failed warm-up is logged at debug level and skipped). An empty
  // list returns at once without touching the model.
  // Throws OfflineDiarizationError::invalidConfiguration ("Expected 256-dim embeddings, got <n>")
  // before any prediction when an embedding has another length; processingFailed when the model
  // gives no "rho" output or too few values; CancellationError after the warm-up and between
  // batches; the prediction's MLModelError and the buffer's ANEMemoryError unchanged. Rows already
  // computed are dropped on failure.
  std::vector<std::vector<double>> transform(const std::vector<std::vector<float>>& embeddings,
                                             std::stop_token stop = {}) const;

  // The rho vector of one embedding (empty when the model gave no row). Throws as the list form,
  // with "Expected 256-dim embedding, got <n>" for another length.
  std::vector<double> transform(std::span<const float> embedding, std::stop_token stop = {}) const;

  // Cosine similarity of two rho vectors; 0 when `a` does not hold 128 values, `b` is of another
  // length, or either is all zeros.
  static double score(std::span<const double> a, std::span<const double> b);

 private:
  std::vector<std::vector<double>> transformBatch(std::span<const std::vector<float>> batch,
                                                  std::stop_token stop) const;
  void performWarmup(std::stop_token stop) const;

  std::shared_ptr<const platform::MLModel> pldaRhoModel_;
  std::vector<double> psi_;
  std::shared_ptr<ANEMemoryOptimizer> memoryOptimizer_;
  AppLogger logger_;
};

}  // namespace tesselaudio
