#include "speech/Diarizer/Offline/Clustering/VBxClustering.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ml/MLModel.h"
#include "speech/ASR/Parakeet/ASRError.h"
#include "speech/Diarizer/Offline/Clustering/KMeansClustering.h"
#include "tests/support/OfflineDiarizerModelBuilder.h"
#include "tests/support/SystemLogCapture.h"
#include "tests/support/TemporaryFolder.h"

namespace tesselaudio {
namespace {

using Labels = std::vector<std::int64_t>;
using Rows = std::vector<std::vector<double>>;

constexpr double kTolerance = 1e-6;
const double e7 = std::exp(7.0);

void expectNear(const std::vector<double>& actual, const std::vector<double>& expected, double tolerance = kTolerance) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i) EXPECT_NEAR(actual[i], expected[i], tolerance) << "value " << i;
}

void expectNear(const Rows& actual, const Rows& expected, double tolerance = kTolerance) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t r = 0; r < actual.size(); ++r) {
    SCOPED_TRACE(testing::Message() << "row " << r);
    expectNear(actual[r], expected[r], tolerance);
  }
}

Rows randomRows(std::size_t count, std::size_t dimension, std::mt19937& random) {
  std::normal_distribution<double> value;
  Rows rows(count, std::vector<double>(dimension));
  for (auto& row : rows) {
    for (double& x : row) x = value(random);
  }
  return rows;
}

// The iteration written out plainly, one formula a line, on rows of doubles.
struct ReferenceVBx {
  Rows gamma;
  std::vector<double> pi;
  std::vector<double> elbos;

  ReferenceVBx(const Rows& x, const Labels& warm, std::size_t S, std::vector<double> phi, int iterations, double Fa,
               double Fb) {
    const std::size_t N = x.size(), D = x[0].size();
    for (std::size_t n = 0; n < N; ++n) {
      std::vector<double> row(S);
      double z = 0;
      for (std::size_t s = 0; s < S; ++s) z += row[s] = std::exp(warm[n] == std::int64_t(s) ? 7.0 : 0.0);
      for (double& v : row) v /= z;
      gamma.push_back(row);
    }
    pi.assign(S, 1.0 / double(S));
    for (int it = 0; it < iterations; ++it) {
      Rows invL(S, std::vector<double>(D)), alpha(S, std::vector<double>(D));
      std::vector<double> q(S, 0.0);
      double elbo = 0;
      for (std::size_t s = 0; s < S; ++s) {
        double ns = 0;
        for (std::size_t n = 0; n < N; ++n) ns += gamma[n][s];
        for (std::size_t d = 0; d < D; ++d) {
          invL[s][d] = 1 / (1 + Fa / Fb * ns * phi[d]);
          double sum = 0;
          for (std::size_t n = 0; n < N; ++n) sum += gamma[n][s] * x[n][d] * std::sqrt(phi[d]);
          alpha[s][d] = Fa / Fb * invL[s][d] * sum;
          q[s] += (alpha[s][d] * alpha[s][d] + invL[s][d]) * phi[d];
          elbo += Fb / 2 * (std::log(invL[s][d]) - invL[s][d] - alpha[s][d] * alpha[s][d] + 1);
        }
      }
      for (std::size_t n = 0; n < N; ++n) {
        double squares = 0;
        for (double v : x[n]) squares += v * v;
        std::vector<double> v(S);
        for (std::size_t s = 0; s < S; ++s) {
          double dot = 0;
          for (std::size_t d = 0; d < D; ++d) dot += x[n][d] * std::sqrt(phi[d]) * alpha[s][d];
          v[s] = Fa * (dot - 0.5 * q[s] - 0.5 * (double(D) * std::log(2 * M_PI) + squares)) + std::log(pi[s]);
        }
        double z = 0;
        for (double value : v) z += std::exp(value);
        for (std::size_t s = 0; s < S; ++s) gamma[n][s] = std::exp(v[s]) / z;
        elbo += std::log(z);
      }
      for (std::size_t s = 0; s < S; ++s) {
        pi[s] = 0;
        for (std::size_t n = 0; n < N; ++n) pi[s] += gamma[n][s] / double(N);
      }
      elbos.push_back(elbo);
    }
  }
};

class VBxClusteringTest : public testing::Test {
 protected:
  VBxClustering vbx(std::vector<double> psi, std::int64_t maxIterations = 20, double tolerance = 1e-4, double Fa = 0.07,
                    double Fb = 0.8) {
    if (!model_) {
      model_ = std::make_shared<platform::MLModel>(testsupport::pairDifferencePldaRhoModel().writeBundle(folder_.path()));
    }
    OfflineDiarizerConfig config;
    config.vbx.maxIterations = maxIterations;
    config.vbx.convergenceTolerance = tolerance;
    config.clustering.warmStartFa = Fa;
    config.clustering.warmStartFb = Fb;
    return VBxClustering(config, PLDATransform(model_, std::move(psi)));
  }

  std::vector<std::string> messages() const { return log_.messages("OfflineVBx"); }

  testsupport::TemporaryFolder folder_;
  std::shared_ptr<const platform::MLModel> model_;
  testsupport::SystemLogCapture log_;
};

TEST_F(VBxClusteringTest, OneRowOneDimensionByHand) {
  // invL = 1/2, alpha = 1/2, log p = 1/2 − 3/8 − (ln 2π + 1)/2 = −1.2939385.
  const auto output = vbx({1.0}, 1, 1e-4, 1, 1).refine({{1.0}}, {0});
  expectNear(output.gamma, {{1.0}});
  expectNear(output.pi, {1.0});
  expectNear(output.elbos, {-1.2939385 + 0.5 * (std::log(0.5) - 0.5 - 0.25 + 1)});
  expectNear(output.elbos, {-1.5155121});
  EXPECT_EQ(output.hardClusters, (std::vector<Labels>{{0}}));
  EXPECT_EQ(output.numClusters, 1);
  EXPECT_FALSE(output.wasAdjusted);
  EXPECT_FALSE(output.originalClusterCount);
}

TEST_F(VBxClusteringTest, TwoRowsTwoSpeakersByHand) {
  const auto output = vbx({1.0}, 1, 1e-4, 1, 1).refine({{1.0}, {-1.0}}, {0, 1});
  expectNear(output.gamma, {{0.7307002, 0.2692998}, {0.2692998, 0.7307002}});
  expectNear(output.pi, {0.5, 0.5});
  expectNear(output.elbos, {-3.7898162});
  EXPECT_EQ(output.hardClusters, (std::vector<Labels>{{0, 1}}));
}

TEST_F(VBxClusteringTest, NoIterationGivesTheSmoothedWarmStart) {
  const auto output = vbx({1.0}, 0).refine({{0.3}, {0.1}, {-2.0}}, {0, 0, 1});
  const double high = e7 / (e7 + 1), low = 1 / (e7 + 1);
  expectNear(output.gamma, {{high, low}, {high, low}, {low, high}});
  expectNear(output.gamma, {{0.9990889, 0.0009111}, {0.9990889, 0.0009111}, {0.0009111, 0.9990889}});
  expectNear(output.pi, {0.5, 0.5});
  EXPECT_TRUE(output.elbos.empty());
  EXPECT_EQ(output.hardClusters, (std::vector<Labels>{{0, 0, 1}}));
}

TEST_F(VBxClusteringTest, MatchesThePlainIterationOnSeededData) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  const Rows x = randomRows(9, 4, random);
  const Labels warm = {0, 1, 2, 0, 1, 2, 2, 1, 0};
  const std::vector<double> psi = {2.0, 0.5, 1.5, 0.25};
  const auto output = vbx(psi, 5, 1e-300, 0.3, 0.9).refine(x, warm);
  const ReferenceVBx reference(x, warm, 3, psi, 5, 0.3, 0.9);
  expectNear(output.gamma, reference.gamma, 1e-9);
  expectNear(output.pi, reference.pi, 1e-9);
  expectNear(output.elbos, reference.elbos, 1e-9);
  for (const auto& row : output.gamma) EXPECT_NEAR(std::accumulate(row.begin(), row.end(), 0.0), 1.0, 1e-12);
  EXPECT_NEAR(std::accumulate(output.pi.begin(), output.pi.end(), 0.0), 1.0, 1e-12);
}

TEST_F(VBxClusteringTest, StopsWhenTheObjectiveSettles) {
  const unsigned seed = 5;
  std::mt19937 random(seed);
  const Rows x = randomRows(12, 3, random);
  const Labels warm = {0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1};
  EXPECT_EQ(vbx({1, 1, 1}, 20, 1e9).refine(x, warm).elbos.size(), 2u);
  EXPECT_EQ(vbx({1, 1, 1}, 3, 1e-300).refine(x, warm).elbos.size(), 3u);
}

TEST_F(VBxClusteringTest, EdgeCases) {
  EXPECT_EQ(vbx({1.0}).refine({}, {}), VBxOutput{});
  EXPECT_TRUE(messages().empty());

  EXPECT_EQ(vbx({1.0}).refine({{}, {}}, {0, 1}), VBxOutput{});
  EXPECT_EQ(messages(), std::vector<std::string>{"VBx received empty feature vectors"});

  const auto single = vbx({1.0, 1.0}).refine({{0.5, 1.0}, {-1.0, 0.2}, {3.0, 0.0}}, {4, 4, 4});
  expectNear(single.gamma, {{1.0}, {1.0}, {1.0}});
  expectNear(single.pi, {1.0});
  EXPECT_EQ(single.hardClusters, (std::vector<Labels>{{0, 0, 0}}));
  EXPECT_EQ(single.numClusters, 1);
}

TEST_F(VBxClusteringTest, PsiOfAnotherLengthFallsBackToOnes) {
  const Rows x = {{1.0, 0.5}, {-1.0, 0.2}, {0.3, -0.7}};
  const auto fallback = vbx({2.0, 3.0, 4.0}).refine(x, {0, 1, 1});
  EXPECT_EQ(messages().front(), "PLDA psi dimension (3) mismatches rho dimension (2); falling back to identity");
  EXPECT_EQ(fallback, vbx({1.0, 1.0}).refine(x, {0, 1, 1}));
}

TEST_F(VBxClusteringTest, LabelsAreClampedIntoTheColumns) {
  const Rows x = {{1.0}, {-1.0}, {0.5}};
  const auto expected = vbx({1.0}, 0).refine(x, {0, 1, 1});
  EXPECT_EQ(vbx({1.0}, 0).refine(x, {-3, 5, 5}), expected);
  // No labels: uniform rows, still two columns.
  const auto uniform = vbx({1.0}, 0).refine(x, {});
  expectNear(uniform.gamma, {{1.0}, {1.0}, {1.0}});
}

TEST_F(VBxClusteringTest, LogsTheWarmStartAndTheWeights) {
  vbx({1.0}, 1, 1e-4, 1, 1).refine({{1.0}, {-1.0}, {0.5}}, {2, 0, 2});
  EXPECT_EQ(messages(), (std::vector<std::string>{"VBx warm start clusters: 2 histogram: [0: 1, 2: 2]",
                                                  messages().back()}));
  EXPECT_TRUE(messages().back().starts_with("VBx mixture weights \u2013 min: 0.")) << messages().back();
  EXPECT_TRUE(messages().back().ends_with(", count: 2")) << messages().back();
}

TEST_F(VBxClusteringTest, RowsOfUnequalLengthGiveTheWarmStart) {
  const auto output = vbx({1.0, 1.0}).refine({{1.0, 0.0}, {1.0}, {0.0, 1.0}}, {0, 1, 1});
  EXPECT_EQ(messages().at(1), "VBx received feature rows of unequal length: row 1 has 1 values, the first has 2");
  EXPECT_EQ(output.gamma, (Rows{{1, 0}, {0, 1}, {0, 1}}));
  EXPECT_EQ(output.pi, (std::vector<double>{0.5, 0.5}));
  EXPECT_TRUE(output.elbos.empty());
  EXPECT_EQ(output.hardClusters, (std::vector<Labels>{{0, 1, 1}}));
}

TEST_F(VBxClusteringTest, SizesBeyondThirtyTwoBitsGiveTheWarmStart) {
  const std::int64_t beyond = std::int64_t{1} << 31;
  struct Case {
    std::int64_t N, S, D;
    const char* message;
  };
  for (const Case& c : {Case{beyond, beyond, beyond, "VBx frame count exceeds supported range"},
                        Case{1, beyond, beyond, "VBx speaker count exceeds supported range"},
                        Case{1, 1, beyond, "VBx feature dimension exceeds supported range"}}) {
    SCOPED_TRACE(c.message);
    try {
      detail::checkBlasSizes(c.N, c.S, c.D);
      ADD_FAILURE() << "no error";
    } catch (const ASRError& error) {
      EXPECT_EQ(error.errorCase(), ASRError::Case::processingFailed);
      EXPECT_EQ(error.message(), c.message);
    }
  }
  EXPECT_NO_THROW(detail::checkBlasSizes(beyond - 1, beyond - 1, beyond - 1));

  const std::vector<double> one = {1.0}, warm = {0.0, 1.0};
  const auto posterior = vbx({1.0}).posteriorOrWarmStart(one, beyond, 1, one, warm, 2);
  EXPECT_EQ(posterior, (detail::VBxPosterior{warm, {0.5, 0.5}, {}}));
  EXPECT_EQ(messages(), std::vector<std::string>{
                            "VBx failed to prepare BLAS arguments: ASR processing failed: VBx frame count exceeds "
                            "supported range"});
}

TEST(VBxOutputTest, ClusterCounts) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    const char* name;
    Rows gamma;
    std::vector<double> pi;
    std::int64_t numClusters, active, assigned;
  };
  const Case cases[] = {
      {"nothing", {}, {}, 3, 3, 3},
      {"weights at the epsilon are inactive", {}, {0.5, 1e-7, 2e-7, nan}, 4, 2, 2},
      {"distinct row maxima", {{0.2, 0.8, 0.0}, {0.9, 0.1, 0.0}, {}}, {0.3, 0.3, 0.4}, 3, 3, 2},
      {"first maximum wins", {{0.5, 0.5}, {0.5, 0.5}}, {0.5, 0.5}, 2, 2, 1},
      {"rows without columns", {{}, {}}, {0.5, 0.5}, 2, 2, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VBxOutput output;
    output.gamma = c.gamma;
    output.pi = c.pi;
    output.numClusters = c.numClusters;
    EXPECT_EQ(output.activeClusterCount(), c.active);
    EXPECT_EQ(output.assignedClusterCount(), c.assigned);
  }
}

class ApplyConstraintsTest : public testing::Test {
 protected:
  // Rows all pointing at column 0, with the given weights.
  static VBxOutput oneAssignedCluster(std::size_t rows, std::vector<double> pi) {
    VBxOutput output;
    output.gamma.assign(rows, std::vector<double>{0.8, 0.2});
    output.pi = std::move(pi);
    output.hardClusters = {Labels(rows, 0)};
    output.numClusters = 2;
    output.elbos = {-3.0, -2.5};
    return output;
  }

  static double inertia(const KMeansClustering::Result& result, const Rows& embeddings) {
    const Rows unit = KMeansClustering::normalizeEmbeddings(embeddings);
    double total = 0;
    for (std::size_t i = 0; i < unit.size(); ++i) {
      const auto& centroid = result.centroids.at(std::size_t(result.clusters[i]));
      for (std::size_t d = 0; d < centroid.size(); ++d) total += std::pow(unit[i][d] - centroid[d], 2);
    }
    return total;
  }

  testsupport::SystemLogCapture log_;
};

TEST_F(ApplyConstraintsTest, WithinBoundsOrWithoutConstraintsNothingChanges) {
  const auto output = oneAssignedCluster(4, {0.6, 0.4});
  const Rows embeddings(4, std::vector<double>{1.0, 0.0});
  EXPECT_EQ(VBxClustering::applyConstraints(output, embeddings, std::nullopt), output);
  EXPECT_EQ(VBxClustering::applyConstraints(output, embeddings, SpeakerCountConstraints{std::nullopt, 1, 2}), output);
  EXPECT_TRUE(log_.messages("OfflineVBx").empty());
}

TEST_F(ApplyConstraintsTest, ReclustersToTheNearerBoundWithTheBestSeed) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  const Rows embeddings = randomRows(30, 4, random);
  struct Case {
    const char* name;
    SpeakerCountConstraints constraints;
    std::vector<double> pi;
    std::int64_t count, target;
  };
  // The first: one assigned cluster is below 2. The second: one assigned cluster lies inside [1, 1],
  // but two active weights do not.
  for (const Case& c : {Case{"assigned below", {std::nullopt, 2, 3}, {0.9, 0.1}, 1, 2},
                        Case{"active above", {1, 1, 1}, {0.5, 0.5}, 2, 1}}) {
    SCOPED_TRACE(c.name);
    const auto input = oneAssignedCluster(embeddings.size(), c.pi);
    const auto output = VBxClustering::applyConstraints(input, embeddings, c.constraints);

    std::optional<KMeansClustering::Result> best;
    double bestInertia = 0;
    for (std::uint64_t s = 0; s < 10; ++s) {
      auto result = KMeansClustering::clusterWithCentroids(embeddings, c.target, 100, s);
      if (!best || inertia(result, embeddings) < bestInertia) {
        bestInertia = inertia(result, embeddings);
        best = result;
      }
    }
    EXPECT_EQ(output.hardClusters, std::vector<Labels>{best->clusters});
    EXPECT_EQ(output.centroids, best->centroids);
    EXPECT_EQ(output.numClusters, c.target);
    EXPECT_TRUE(output.wasAdjusted);
    EXPECT_EQ(output.originalClusterCount, c.count);
    EXPECT_EQ(output.gamma, input.gamma);
    EXPECT_EQ(output.pi, input.pi);
    EXPECT_EQ(output.elbos, input.elbos);
    EXPECT_EQ(log_.messages("OfflineVBx").back(),
              "Speaker count " + std::to_string(c.count) + " outside bounds [" + std::to_string(c.constraints.minSpeakers) +
                  ", " + std::to_string(c.constraints.maxSpeakers) + "]; re-clustering to " + std::to_string(c.target));
  }
}

TEST_F(ApplyConstraintsTest, TargetReachingTheEmbeddingsRunsOnce) {
  const Rows embeddings = {{3.0, 4.0}, {0.0, 2.0}};
  const auto output = VBxClustering::applyConstraints(oneAssignedCluster(2, {1.0, 0.0}), embeddings,
                                                      SpeakerCountConstraints{std::nullopt, 3, 4});
  EXPECT_EQ(output.hardClusters, (std::vector<Labels>{{0, 1}}));
  EXPECT_EQ(output.centroids, embeddings);
  EXPECT_EQ(output.numClusters, 3);
  EXPECT_EQ(output.originalClusterCount, 1);
}

}  // namespace
}  // namespace tesselaudio
