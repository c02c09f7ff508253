#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <utility>
#include <vector>

namespace testsupport {

// Centroid linkage the slow, obvious way, to check the fast one against: every step merges the
// closest pair among all current clusters (O(n³)), numbering new clusters n, n + 1, ...
// Header-only; a value.
class CentroidLinkageReference {
 public:
  struct Dendrogram {
    std::vector<double> rows;  // n − 1 rows of [smaller node, larger node, distance, size]
    bool distinct = true;      // false when some step had two closest pairs within 1e-9
  };

  explicit CentroidLinkageReference(std::vector<std::vector<double>> points) : points_(std::move(points)) {}

  // n points of m standard-normal values, scaled to unit length when asked.
  static std::vector<std::vector<double>> randomPoints(std::size_t n, std::size_t m, std::mt19937& random,
                                                      bool unitLength = false) {
    std::normal_distribution<double> value;
    std::vector<std::vector<double>> points(n, std::vector<double>(m));
    for (auto& point : points) {
      double squares = 0;
      for (double& x : point) {
        x = value(random);
        squares += x * x;
      }
      if (unitLength) {
        for (double& x : point) x /= std::sqrt(squares);
      }
    }
    return points;
  }

  Dendrogram linkage() const {
    struct Cluster {
      std::size_t node;
      std::vector<double> centroid;
      double size;
    };
    std::vector<Cluster> clusters;
    for (std::size_t i = 0; i < points_.size(); ++i) clusters.push_back({i, points_[i], 1.0});
    Dendrogram result;
    for (std::size_t next = points_.size(); clusters.size() > 1; ++next) {
      double best = std::numeric_limits<double>::infinity(), second = best;
      std::size_t bestA = 0, bestB = 0;
      for (std::size_t a = 0; a < clusters.size(); ++a) {
        for (std::size_t b = a + 1; b < clusters.size(); ++b) {
          const double d = distance(clusters[a].centroid, clusters[b].centroid);
          if (d < best) {
            second = best;
            best = d;
            bestA = a;
            bestB = b;
          } else if (d < second) {
            second = d;
          }
        }
      }
      if (second - best < 1e-9) result.distinct = false;
      Cluster& a = clusters[bestA];
      const Cluster& b = clusters[bestB];
      result.rows.insert(result.rows.end(), {double(std::min(a.node, b.node)), double(std::max(a.node, b.node)), best,
                                             a.size + b.size});
      for (std::size_t c = 0; c < a.centroid.size(); ++c) {
        a.centroid[c] = (a.size * a.centroid[c] + b.size * b.centroid[c]) / (a.size + b.size);
      }
      a.size += b.size;
      a.node = next;
      clusters.erase(clusters.begin() + static_cast<std::ptrdiff_t>(bestB));
    }
    return result;
  }

  // The clusters of a top-down cut of `dendrogram`: a node merged at or below `threshold` is one
  // cluster, any other splits into its two children. Labels follow first appearance.
  std::vector<std::int64_t> partition(const Dendrogram& dendrogram, double threshold) const {
    const std::size_t n = points_.size();
    std::vector<std::int64_t> labels(n, -1);
    std::int64_t next = 0;
    cut(dendrogram.rows, 2 * n - 2, threshold, false, labels, next);
    std::map<std::int64_t, std::int64_t> renumbered;
    for (auto& label : labels) label = renumbered.try_emplace(label, std::int64_t(renumbered.size())).first->second;
    return labels;
  }

 private:
  static double distance(const std::vector<double>& x, const std::vector<double>& y) {
    double sum = 0;
    for (std::size_t c = 0; c < x.size(); ++c) sum += (x[c] - y[c]) * (x[c] - y[c]);
    return std::sqrt(sum);
  }

  void cut(const std::vector<double>& rows, std::size_t node, double threshold, bool joined,
           std::vector<std::int64_t>& labels, std::int64_t& next) const {
    const std::size_t n = points_.size();
    if (node < n) {
      labels[node] = joined ? next : next++;
      return;
    }
    const double* row = rows.data() + (node - n) * 4;
    const bool joins = joined || row[2] <= threshold;
    cut(rows, std::size_t(row[0]), threshold, joins, labels, next);
    cut(rows, std::size_t(row[1]), threshold, joins, labels, next);
    if (joins && !joined) ++next;
  }

  std::vector<std::vector<double>> points_;
};

}  // namespace testsupport
