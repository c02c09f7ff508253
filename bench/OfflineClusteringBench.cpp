// The offline diarizer's clustering stages.
//
// BM_AHC: centroid-linkage clustering of 2,000 seeded 256-value embeddings around 8 centres, cut at
//   0.6: normalisation, the linkage and the cut.
// BM_AHC_Baseline: all 1,999,000 pairwise squared distances of the same (normalised) points,
//   once; a quadratic floor that a naive cubic linkage lies far above.
// BM_VBx: VBx refinement of N = 2,000 rows of D = 128 values from a warm start with S = 20
//   clusters, 20 iterations.
// BM_KMeans: k-means of 2,000 seeded 256-value embeddings into k = 10 clusters, seed 0.

#include <cmath>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "platform/ml/MLModel.h"
#include "platform/sys/HostInfo.h"
#include "speech/Diarizer/Offline/Clustering/AHCClustering.h"
#include "speech/Diarizer/Offline/Clustering/KMeansClustering.h"
#include "speech/Diarizer/Offline/Clustering/VBxClustering.h"
#include "speech/Shared/AppLogger.h"
#include "tests/support/OfflineDiarizerModelBuilder.h"
#include "tests/support/TemporaryFolder.h"

namespace tesselaudio {
namespace {

using Rows = std::vector<std::vector<double>>;

constexpr std::size_t kPoints = 2000;
constexpr std::size_t kEmbeddingDimension = 256;
constexpr std::size_t kCentres = 8;
constexpr unsigned kSeed = 2024;

void quietLogs() {
  static const bool quiet = [] {
    AppLogger::setMinimumLevel(AppLogger::Level::error);
    benchmark::AddCustomContext("host", platform::HostInfo::cpuModelName().value_or("unknown"));
    return true;
  }();
  (void)quiet;
}

// `count` points of `dimension` values scattered around `centres` random centres.
Rows clusteredPoints(std::size_t count, std::size_t dimension, std::size_t centres, unsigned seed) {
  std::mt19937 random(seed);
  std::normal_distribution<double> value;
  Rows centre(centres, std::vector<double>(dimension));
  for (auto& c : centre) {
    for (double& x : c) x = value(random);
  }
  Rows points(count, std::vector<double>(dimension));
  for (std::size_t i = 0; i < count; ++i) {
    for (std::size_t d = 0; d < dimension; ++d) points[i][d] = centre[i % centres][d] + 0.4 * value(random);
  }
  return points;
}

void BM_AHC(benchmark::State& state) {
  quietLogs();
  const Rows points = clusteredPoints(kPoints, kEmbeddingDimension, kCentres, kSeed);
  const AHCClustering ahc;
  for (auto _ : state) benchmark::DoNotOptimize(ahc.cluster(points, 0.6));
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kPoints));
}
BENCHMARK(BM_AHC)->Unit(benchmark::kMillisecond);

void BM_AHC_Baseline(benchmark::State& state) {
  quietLogs();
  Rows points = clusteredPoints(kPoints, kEmbeddingDimension, kCentres, kSeed);
  for (auto& point : points) {
    double norm = 0;
    for (double x : point) norm += x * x;
    for (double& x : point) x /= std::sqrt(norm);
  }
  for (auto _ : state) {
    double total = 0;
    for (std::size_t i = 1; i < kPoints; ++i) {
      for (std::size_t j = 0; j < i; ++j) {
        double sum = 0;
        for (std::size_t d = 0; d < kEmbeddingDimension; ++d) {
          const double difference = points[i][d] - points[j][d];
          sum += difference * difference;
        }
        total += sum;
      }
    }
    benchmark::DoNotOptimize(total);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kPoints));
}
BENCHMARK(BM_AHC_Baseline)->Unit(benchmark::kMillisecond);

void BM_VBx(benchmark::State& state) {
  quietLogs();
  constexpr std::size_t kDimension = 128, kSpeakers = 20;
  const Rows rho = clusteredPoints(kPoints, kDimension, kSpeakers, kSeed);
  std::vector<std::int64_t> warm(kPoints);
  for (std::size_t i = 0; i < kPoints; ++i) warm[i] = static_cast<std::int64_t>(i % kSpeakers);
  testsupport::TemporaryFolder folder;
  auto model = std::make_shared<platform::MLModel>(testsupport::pairDifferencePldaRhoModel().writeBundle(folder.path()));
  OfflineDiarizerConfig config;
  config.vbx.maxIterations = 20;
  config.vbx.convergenceTolerance = 1e-300;  // all 20 iterations
  const VBxClustering vbx(config, PLDATransform(model, std::vector<double>(kDimension, 1.0)));
  for (auto _ : state) benchmark::DoNotOptimize(vbx.refine(rho, warm));
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kPoints));
}
BENCHMARK(BM_VBx)->Unit(benchmark::kMillisecond);

void BM_KMeans(benchmark::State& state) {
  quietLogs();
  const Rows points = clusteredPoints(kPoints, kEmbeddingDimension, 10, kSeed);
  for (auto _ : state) benchmark::DoNotOptimize(KMeansClustering::clusterWithCentroids(points, 10, 100, 0));
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kPoints));
}
BENCHMARK(BM_KMeans)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tesselaudio
