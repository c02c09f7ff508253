#include "speech/Diarizer/Offline/Clustering/AHCClustering.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <unordered_map>
#include <utility>

#include <fmt/format.h>

#include "platform/text/DoubleText.h"
#include "speech/FastClusterWrapper/FastClusterWrapper.h"

namespace tesselaudio {
namespace {

using Labels = std::vector<std::int64_t>;

Labels eachItsOwnCluster(std::size_t n) {
  Labels labels(n);
  std::iota(labels.begin(), labels.end(), 0);
  return labels;
}

// Rows of length m scaled to unit length, as one flat row-major list. Zero rows stay zeros; a row
// holding NaN or infinity turns to NaN (scaled by 0 at worst), so the linkage refuses it.
std::vector<double> normalizeFeatures(const std::vector<std::vector<double>>& rows, std::size_t dimension) {
  std::vector<double> flat;
  flat.reserve(rows.size() * dimension);
  for (const auto& row : rows) {
    const double squares = std::inner_product(row.begin(), row.end(), row.begin(), 0.0);
    const double scale = squares > 0 ? 1.0 / std::sqrt(squares) : 0.0;
    for (double value : row) flat.push_back(value * scale);
  }
  return flat;
}

// The threshold within [0, 2]; NaN becomes 0, so that nothing above distance 0 merges.
double clampDistanceThreshold(double threshold, const AppLogger& logger) {
  if (std::isnan(threshold)) {
    logger.warning("Clustering threshold is NaN; disabling AHC merging");
    return 0.0;
  }
  if (threshold < 0.0 || threshold > 2.0) {
    logger.warning(fmt::format("Clustering threshold {} outside [0, 2]; clamping", platform::text::shortestDouble(threshold)));
  }
  return std::clamp(threshold, 0.0, 2.0);
}

Labels assignmentsFromDendrogram(const std::vector<double>& linkage, std::size_t n, double distanceThreshold) {
  const auto row = [&](std::size_t node) { return linkage.data() + (node - n) * 4; };
  const auto left = [&](std::size_t node) { return static_cast<std::size_t>(row(node)[0]); };
  const auto right = [&](std::size_t node) { return static_cast<std::size_t>(row(node)[1]); };

  Labels labels(n, -1);
  std::int64_t nextLabel = 0;
  const auto labelSubtree = [&](std::size_t top) {
    std::vector<std::size_t> below{top};
    while (!below.empty()) {
      const std::size_t node = below.back();
      below.pop_back();
      if (node < n) {
        labels[node] = nextLabel;
      } else {
        below.push_back(left(node));
        below.push_back(right(node));
      }
    }
    ++nextLabel;
  };

  std::vector<std::size_t> stack{2 * n - 2};
  while (!stack.empty()) {
    const std::size_t node = stack.back();
    stack.pop_back();
    if (node < n) {
      if (labels[node] < 0) labels[node] = nextLabel++;
    } else if (row(node)[2] <= distanceThreshold) {
      labelSubtree(node);
    } else {
      stack.push_back(left(node));
      stack.push_back(right(node));
    }
  }
  for (auto& label : labels) {
    if (label < 0) label = nextLabel++;
  }
  return labels;
}

Labels remapClusterIds(const Labels& labels) {
  std::unordered_map<std::int64_t, std::int64_t> renumbered;
  Labels result;
  result.reserve(labels.size());
  for (std::int64_t label : labels) {
    const auto [it, inserted] = renumbered.try_emplace(label, static_cast<std::int64_t>(renumbered.size()));
    result.push_back(it->second);
  }
  return result;
}

}  // namespace

AHCClustering::AHCClustering()
    : AHCClustering(AppLogger("OfflineAHC"),
                    platform::Signposter("tessel-audio.diarization", platform::Signposter::pointsOfInterest)) {}

AHCClustering::AHCClustering(AppLogger logger, platform::Signposter signposter)
    : logger_(std::move(logger)), signposter_(std::move(signposter)) {}

std::vector<std::int64_t> AHCClustering::cluster(const std::vector<std::vector<double>>& embeddingFeatures,
                                                 double threshold) const {
  const std::size_t n = embeddingFeatures.size();
  if (n == 0) return {};
  const std::size_t m = embeddingFeatures.front().size();
  if (m == 0) return Labels(n, 0);
  if (n == 1) return {0};

  auto interval = signposter_.beginInterval("Agglomerative Hierarchical Clustering");
  for (std::size_t r = 1; r < n; ++r) {
    if (embeddingFeatures[r].size() != m) {
      logger_.error(fmt::format("AHC received rows of unequal length: row {} has {} values, the first has {}", r,
                                embeddingFeatures[r].size(), m));
      return eachItsOwnCluster(n);
    }
  }
  const auto points = normalizeFeatures(embeddingFeatures, m);
  std::vector<double> linkage(4 * n - 4, 0.0);
  const std::int32_t status = fastcluster_compute_centroid_linkage(points.data(), n, m, linkage.data(), linkage.size());
  if (status != 0) {
    logger_.error(fmt::format("fastcluster failed with status {}", status));
    return eachItsOwnCluster(n);
  }
  return remapClusterIds(assignmentsFromDendrogram(linkage, n, clampDistanceThreshold(threshold, logger_)));
}

}  // namespace tesselaudio
