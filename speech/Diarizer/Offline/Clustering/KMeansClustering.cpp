#include "speech/Diarizer/Offline/Clustering/KMeansClustering.h"

#include <cmath>
#include <limits>
#include <numeric>
#include <utility>

#include <fmt/format.h>

#include "platform/sys/Signposter.h"
#include "speech/Shared/AppLogger.h"

namespace tesselaudio::KMeansClustering {
namespace {

using Matrix = std::vector<std::vector<double>>;
using Labels = std::vector<std::int64_t>;

constexpr double kNormFloor = 1e-10;
constexpr std::int64_t kSlowConvergenceIteration = 81;

const AppLogger& logger() {
  static const AppLogger instance("KMeansClustering");
  return instance;
}

const platform::Signposter& signposter() {
  static const platform::Signposter instance("tessel-audio.diarization", platform::Signposter::pointsOfInterest);
  return instance;
}

double squaredDistance(const std::vector<double>& a, const std::vector<double>& b) {
  double sum = 0.0;
  for (std::size_t d = 0; d < a.size(); ++d) {
    const double difference = a[d] - b[d];
    sum += difference * difference;
  }
  return sum;
}

Matrix initializeCentroids(const Matrix& embeddings, std::size_t k, SeededRNG& rng) {
  const auto order = shuffledIndices(embeddings.size(), rng);
  Matrix centroids;
  centroids.reserve(k);
  for (std::size_t i = 0; i < k; ++i) centroids.push_back(embeddings[order[i]]);
  return centroids;
}

Labels assignToCentroids(const Matrix& embeddings, const Matrix& centroids) {
  Labels labels;
  labels.reserve(embeddings.size());
  for (const auto& embedding : embeddings) {
    std::int64_t best = 0;
    double bestDistance = std::numeric_limits<double>::max();
    for (std::size_t c = 0; c < centroids.size(); ++c) {
      const double distance = centroids[c].size() == embedding.size() ? squaredDistance(embedding, centroids[c])
                                                                       : std::numeric_limits<double>::max();
      if (distance < bestDistance) {
        bestDistance = distance;
        best = static_cast<std::int64_t>(c);
      }
    }
    labels.push_back(best);
  }
  return labels;
}

Matrix updateCentroids(const Matrix& embeddings, const Labels& assignments, std::size_t k, std::size_t dimension,
                       SeededRNG& rng) {
  Matrix sums(k, std::vector<double>(dimension, 0.0));
  std::vector<std::size_t> counts(k, 0);
  for (std::size_t i = 0; i < embeddings.size(); ++i) {
    const auto label = static_cast<std::size_t>(assignments[i]);
    for (std::size_t d = 0; d < dimension; ++d) sums[label][d] += embeddings[i][d];
    ++counts[label];
  }
  for (std::size_t c = 0; c < k; ++c) {
    if (counts[c] == 0) {
      sums[c] = embeddings[rng.next(embeddings.size())];
      continue;
    }
    for (double& value : sums[c]) value /= static_cast<double>(counts[c]);
  }
  return sums;
}

}  // namespace

std::uint64_t SeededRNG::next() {
  state = state * 6364136223846793005ULL + 1442695040888963407ULL;
  return state;
}

std::uint64_t SeededRNG::next(std::uint64_t bound) {
  unsigned __int128 product = static_cast<unsigned __int128>(next()) * bound;
  auto low = static_cast<std::uint64_t>(product);
  if (low < bound) {
    const std::uint64_t rejectBelow = (0 - bound) % bound;
    while (low < rejectBelow) {
      product = static_cast<unsigned __int128>(next()) * bound;
      low = static_cast<std::uint64_t>(product);
    }
  }
  return static_cast<std::uint64_t>(product >> 64);
}

std::vector<std::size_t> shuffledIndices(std::size_t count, SeededRNG& rng) {
  std::vector<std::size_t> order(count);
  std::iota(order.begin(), order.end(), 0);
  for (std::size_t i = 0; i + 1 < count; ++i) {
    const auto r = static_cast<std::size_t>(rng.next(count - i));
    std::swap(order[i], order[i + r]);
  }
  return order;
}

Matrix normalizeEmbeddings(const Matrix& embeddings) {
  Matrix normalized = embeddings;
  for (auto& embedding : normalized) {
    const double norm = std::sqrt(std::inner_product(embedding.begin(), embedding.end(), embedding.begin(), 0.0));
    if (norm > kNormFloor) {
      for (double& value : embedding) value /= norm;
    }
  }
  return normalized;
}

Result clusterWithCentroids(const Matrix& embeddings, std::int64_t numClusters, std::int64_t maxIterations,
                            std::optional<std::uint64_t> seed) {
  auto interval = signposter().beginInterval("KMeans Clustering");
  const std::size_t n = embeddings.size();
  if (n == 0) return {};
  const std::size_t dimension = embeddings.front().size();
  if (dimension == 0 || numClusters <= 0) return {Labels(n, 0), {}};
  for (std::size_t i = 1; i < n; ++i) {
    if (embeddings[i].size() != dimension) {
      logger().error(fmt::format("K-Means received embeddings of unequal length: embedding {} has {} values, "
                                 "the first has {}",
                                 i, embeddings[i].size(), dimension));
      return {Labels(n, 0), {}};
    }
  }
  const auto k = static_cast<std::size_t>(numClusters);
  if (k >= n) {
    Labels identity(n);
    std::iota(identity.begin(), identity.end(), 0);
    return {identity, embeddings};
  }

  SeededRNG rng{seed.value_or(0)};
  const Matrix normalized = normalizeEmbeddings(embeddings);
  Matrix centroids = initializeCentroids(normalized, k, rng);
  Labels labels(n, 0);
  if (maxIterations <= 0) return {labels, centroids};
  for (std::int64_t i = 0;; ++i) {
    Labels newLabels = assignToCentroids(normalized, centroids);
    if (newLabels == labels) return {labels, centroids};
    centroids = updateCentroids(normalized, newLabels, k, dimension, rng);
    if (i >= kSlowConvergenceIteration) {
      logger().warning(fmt::format("K-Means slow convergence at iteration {}", i + 1));
    }
    if (i + 1 == maxIterations) return {newLabels, centroids};
    labels = std::move(newLabels);
  }
}

}  // namespace tesselaudio::KMeansClustering
