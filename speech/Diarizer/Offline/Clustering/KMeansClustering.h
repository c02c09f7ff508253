#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

// Seeded, reproducible k-means on unit-normalised embeddings: the same embeddings, cluster count,
// iteration limit and seed always give the same result. Stateless apart from its logger; every call
// owns its generator, so calls may run in parallel.
//
//   auto [clusters, centroids] = KMeansClustering::clusterWithCentroids(embeddings, 3, 100, 0);
namespace tesselaudio::KMeansClustering {

// A 64-bit linear congruential generator: each draw sets
// state = state * 6364136223846793005 + 1442695040888963407 (mod 2^64) and returns it.
struct SeededRNG {
  std::uint64_t state = 0;

  std::uint64_t next();
  // A uniform draw in [0, bound) by the multiply-high method, rejecting the few low products that
  // would bias it. REQUIRES: bound > 0.
  std::uint64_t next(std::uint64_t bound);
};

struct Result {
  std::vector<std::int64_t> clusters;           // one label per embedding
  std::vector<std::vector<double>> centroids;   // numClusters of them, or none (see below)

  bool operator==(const Result&) const = default;
};

// 0 ... count - 1 shuffled by forward Fisher–Yates: for i = 0 ... count - 2, draw r in [0, count - i)
// and swap positions i and i + r.
std::vector<std::size_t> shuffledIndices(std::size_t count, SeededRNG& rng);

// Each embedding divided by its Euclidean norm when that exceeds 1e-10, else left as it is.
std::vector<std::vector<double>> normalizeEmbeddings(const std::vector<std::vector<double>>& embeddings);

// Clusters the normalised embeddings into `numClusters` groups, starting from the embeddings at
// the first k indices of a shuffle seeded with `seed` (0 when absent), until the labels stop
// changing or `maxIterations` updates ran; a cluster left empty takes the embedding at a drawn
// index. Centroids are the means of their members, not renormalised. Never throws:
//   - no embeddings give nothing; an empty first embedding or numClusters <= 0 give zeros and no
//     centroids; so do embeddings of unequal length, with an error line;
//   - numClusters >= the count gives every embedding its own cluster, centroids the embeddings
//     unchanged;
//   - maxIterations <= 0 gives zeros and the initial centroids.
Result clusterWithCentroids(const std::vector<std::vector<double>>& embeddings, std::int64_t numClusters,
                            std::int64_t maxIterations, std::optional<std::uint64_t> seed = std::nullopt);

}  // namespace tesselaudio::KMeansClustering
