#include "speech/FastClusterWrapper/FastClusterWrapper.h"

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/CentroidLinkageReference.h"

namespace {

using testsupport::CentroidLinkageReference;

constexpr double kTolerance = 1e-6;

std::vector<double> flatten(const std::vector<std::vector<double>>& rows) {
  std::vector<double> flat;
  for (const auto& row : rows) flat.insert(flat.end(), row.begin(), row.end());
  return flat;
}

std::vector<double> linkage(const std::vector<std::vector<double>>& points) {
  const auto flat = flatten(points);
  std::vector<double> output(4 * points.size() - 4, 0.0);
  EXPECT_EQ(fastcluster_compute_centroid_linkage(flat.data(), points.size(), points.front().size(), output.data(),
                                                 output.size()),
            0);
  return output;
}

void expectRows(const std::vector<double>& actual, const std::vector<double>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i) EXPECT_NEAR(actual[i], expected[i], kTolerance) << "value " << i;
}

TEST(FastClusterWrapperTest, StatusCodesInTheirOrder) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::size_t huge = std::size_t{1} << 31;
  const std::vector<double> points = {0, 0, 1, 0, 0, 1};
  const std::vector<double> withNan = {0, 0, nan, 0, 0, 1};
  struct Case {
    const char* name;
    const double* points;
    std::size_t n, m;
    bool nullOutput;
    std::size_t outputLength;
    std::int32_t status;
  };
  const Case cases[] = {
      {"null points", nullptr, 3, 2, false, 8, 1},
      {"null output before n = 0", points.data(), 0, 2, true, 8, 1},
      {"no points", points.data(), 0, 0, false, 0, 0},
      {"no dimension", points.data(), 3, 0, false, 8, 1},
      {"n at 2^31", points.data(), huge, 2, false, 8, 2},
      {"m at 2^31", points.data(), 3, huge, false, 8, 2},
      {"output one short", points.data(), 3, 2, false, 7, 3},
      {"one point", points.data(), 1, 2, false, 0, 0},
      {"NaN coordinate", withNan.data(), 3, 2, false, 8, 5},
      {"centroids beyond memory", points.data(), huge - 1, huge - 1, false, 4 * (huge - 1) - 4, 4},
      {"success", points.data(), 3, 2, false, 8, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<double> output(8, -7.0);
    const std::int32_t status =
        fastcluster_compute_centroid_linkage(c.points, c.n, c.m, c.nullOutput ? nullptr : output.data(), c.outputLength);
    EXPECT_EQ(status, c.status);
    if (status != 0 || c.n <= 1) {
      EXPECT_EQ(output, std::vector<double>(8, -7.0)) << "output touched";
    }
  }
}

TEST(FastClusterWrapperTest, HandComputedDendrograms) {
  const double radians = 55.0 * M_PI / 180.0;
  // e1, e1, e2: the pair at distance 0, then √2.
  expectRows(linkage({{1, 0}, {1, 0}, {0, 1}}), {0, 1, 0, 2, 2, 3, 1.4142136, 3});
  // Unit vectors at −55°, +55° and 180°: the pair merges at 2 sin 55°, its centroid (cos 55°, 0)
  // then lies 1 + cos 55° from the third point, below the first merge (an inversion).
  expectRows(linkage({{std::cos(radians), -std::sin(radians)}, {std::cos(radians), std::sin(radians)}, {-1, 0}}),
             {0, 1, 1.6383041, 2, 2, 3, 1.5735764, 3});
}

TEST(FastClusterWrapperTest, MatchesTheNaiveLinkageOnSeededSets) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  for (int round = 0; round < 60; ++round) {
    const std::size_t n = 2 + round % 11, m = 1 + round % 5;
    SCOPED_TRACE(testing::Message() << "round " << round << ", n " << n << ", m " << m);
    const auto points = CentroidLinkageReference::randomPoints(n, m, random);
    const auto expected = CentroidLinkageReference(points).linkage();
    if (!expected.distinct) continue;
    expectRows(linkage(points), expected.rows);
  }
}

}  // namespace
