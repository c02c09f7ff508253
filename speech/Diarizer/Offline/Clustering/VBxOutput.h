#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace tesselaudio {

// The result of the VBx refinement and of the speaker-count bounds check: responsibilities of N
// training embeddings for S clusters, mixture weights, hard labels and, after a re-clustering,
// centroids in embedding space. A plain value.
struct VBxOutput {
  // A cluster whose weight in pi is at most this counts as inactive.
  static constexpr double activeClusterEpsilon = 1e-7;

  std::vector<std::vector<double>> gamma;        // N rows of S; each row sums to 1
  std::vector<double> pi;                        // S weights summing to 1
  std::vector<std::vector<std::int64_t>> hardClusters;  // one list: the cluster of each embedding
  std::vector<std::vector<double>> centroids;    // empty unless re-clustered
  std::int64_t numClusters = 0;                  // S, or the target of a re-clustering
  std::vector<double> elbos;                     // the objective after each iteration run
  bool wasAdjusted = false;                      // true when the bounds check re-clustered
  std::optional<std::int64_t> originalClusterCount;  // the count that broke the bounds

  // numClusters when pi is empty, else the weights strictly above activeClusterEpsilon (NaN
  // counts as inactive).
  std::int64_t activeClusterCount() const;

  // The distinct columns that are the maximum of some row of gamma (the first maximum of a row
  // wins; rows without columns are skipped); activeClusterCount() when no row contributes.
  std::int64_t assignedClusterCount() const;

  bool operator==(const VBxOutput&) const = default;
};

}  // namespace tesselaudio
