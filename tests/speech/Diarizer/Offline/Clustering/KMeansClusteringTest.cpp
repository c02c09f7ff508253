#include "speech/Diarizer/Offline/Clustering/KMeansClustering.h"

#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/SystemLogCapture.h"

namespace tesselaudio {
namespace {

using KMeansClustering::Result;
using KMeansClustering::SeededRNG;
using Labels = std::vector<std::int64_t>;
using Rows = std::vector<std::vector<double>>;

const Rows kTwoPairs = {{1, 0.01}, {1, -0.01}, {0.01, 1}, {-0.01, 1}};

void expectCentroids(const Rows& actual, const Rows& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t c = 0; c < actual.size(); ++c) {
    ASSERT_EQ(actual[c].size(), expected[c].size()) << "centroid " << c;
    for (std::size_t d = 0; d < actual[c].size(); ++d) {
      EXPECT_NEAR(actual[c][d], expected[c][d], 1e-6) << "centroid " << c << " value " << d;
    }
  }
}

TEST(KMeansClusteringTest, GeneratorStatesAndShuffleOfSeedZero) {
  SeededRNG rng{0};
  EXPECT_EQ(rng.next(), 1442695040888963407ULL);
  EXPECT_EQ(rng.next(), 1876011003808476466ULL);
  EXPECT_EQ(rng.next(), 11166244414315200793ULL);

  SeededRNG shuffler{0};
  EXPECT_EQ(KMeansClustering::shuffledIndices(4, shuffler), (std::vector<std::size_t>{0, 1, 3, 2}));
}

TEST(KMeansClusteringTest, BoundedDrawsRejectTheBiasedLowProducts) {
  // With bound 3·2^62 every product whose low half falls below 2^62 is drawn again.
  const std::uint64_t bound = 3ULL << 62;
  SeededRNG rng{42}, raw{42};
  for (int i = 0; i < 200; ++i) {
    SCOPED_TRACE(i);
    unsigned __int128 product;
    do {
      product = static_cast<unsigned __int128>(raw.next()) * bound;
    } while (static_cast<std::uint64_t>(product) < (1ULL << 62));
    EXPECT_EQ(rng.next(bound), static_cast<std::uint64_t>(product >> 64));
  }
}

TEST(KMeansClusteringTest, TwoPairsEndInOneClusterEach) {
  const Result result = KMeansClustering::clusterWithCentroids(kTwoPairs, 2, 100, 0);
  EXPECT_EQ(result.clusters, (Labels{1, 1, 0, 0}));
  expectCentroids(result.centroids, {{0, 0.99995}, {0.99995, 0}});
  EXPECT_EQ(KMeansClustering::clusterWithCentroids(kTwoPairs, 2, 100), result) << "absent seed";
}

TEST(KMeansClusteringTest, EdgeCases) {
  const double root = 1 / std::sqrt(1.0001);
  struct Case {
    const char* name;
    Rows embeddings;
    std::int64_t k, maxIterations;
    Labels clusters;
    Rows centroids;
  };
  const Case cases[] = {
      {"no embeddings", {}, 2, 100, {}, {}},
      {"empty first embedding", {{}, {}}, 2, 100, {0, 0}, {}},
      {"no clusters", kTwoPairs, 0, 100, {0, 0, 0, 0}, {}},
      {"k at n keeps embeddings unnormalised", {{3, 4}, {0, 2}}, 2, 100, {0, 1}, {{3, 4}, {0, 2}}},
      {"k above n", {{3, 4}}, 5, 100, {0}, {{3, 4}}},
      // The seed-0 shuffle [0, 1, 3, 2] starts from the first two embeddings, normalised.
      {"no iteration", kTwoPairs, 2, 0, {0, 0, 0, 0}, {{root, 0.01 * root}, {root, -0.01 * root}}},
      {"unequal lengths", {{1, 0}, {1}, {0, 1}}, 2, 100, {0, 0, 0}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Result result = KMeansClustering::clusterWithCentroids(c.embeddings, c.k, c.maxIterations, 0);
    EXPECT_EQ(result.clusters, c.clusters);
    expectCentroids(result.centroids, c.centroids);
  }
}

TEST(KMeansClusteringTest, EmptyClusterTakesADrawnEmbedding) {
  // Seed 0 starts from embeddings 0, 1 and 3 (e1, e1, e2); ties keep the lower centroid, so the
  // second one wins nobody and takes the embedding at the next draw in [0, 4).
  const Rows embeddings = {{2, 0}, {2, 0}, {0, 3}, {0, 3}};
  SeededRNG rng{0};
  KMeansClustering::shuffledIndices(4, rng);
  const std::size_t drawn = rng.next(4);
  const Rows unit = {{1, 0}, {1, 0}, {0, 1}, {0, 1}};

  const Result result = KMeansClustering::clusterWithCentroids(embeddings, 3, 1, 0);
  EXPECT_EQ(result.clusters, (Labels{0, 0, 2, 2}));
  expectCentroids(result.centroids, {{1, 0}, unit[drawn], {0, 1}});
}

TEST(KMeansClusteringTest, UnequalLengthsAreReported) {
  testsupport::SystemLogCapture log;
  KMeansClustering::clusterWithCentroids({{1, 0}, {1}, {0, 1}}, 2, 100, 0);
  EXPECT_EQ(log.messages("KMeansClustering"),
            std::vector<std::string>{"K-Means received embeddings of unequal length: embedding 1 has 1 values, the first has 2"});
}

TEST(KMeansClusteringTest, SameSeedSameResult) {
  const unsigned seed = 1234;
  SCOPED_TRACE("seed " + std::to_string(seed));
  SeededRNG values{seed};
  Rows embeddings(40, std::vector<double>(8));
  for (auto& embedding : embeddings) {
    for (double& x : embedding) x = static_cast<double>(values.next(2001)) / 1000.0 - 1.0;
  }
  for (std::uint64_t s : {0ULL, 7ULL, 99ULL}) {
    SCOPED_TRACE(s);
    const Result first = KMeansClustering::clusterWithCentroids(embeddings, 4, 100, s);
    EXPECT_EQ(KMeansClustering::clusterWithCentroids(embeddings, 4, 100, s), first);
    EXPECT_EQ(first.centroids.size(), 4u);
  }
}

}  // namespace
}  // namespace tesselaudio
