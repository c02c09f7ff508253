#include "speech/Diarizer/Offline/Clustering/AHCClustering.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/CentroidLinkageReference.h"
#include "tests/support/SystemLogCapture.h"

namespace tesselaudio {
namespace {

using Labels = std::vector<std::int64_t>;
using Rows = std::vector<std::vector<double>>;

const double kRadians = 55.0 * M_PI / 180.0;
// Unit vectors at −55°, +55° and 180°: merged at 1.6383041, then the root at 1.5735764.
const Rows kInversion = {{std::cos(kRadians), -std::sin(kRadians)}, {std::cos(kRadians), std::sin(kRadians)}, {-1, 0}};

class AHCClusteringTest : public testing::Test {
 protected:
  std::vector<std::string> messages() const { return log_.messages("OfflineAHC"); }

  testsupport::SystemLogCapture log_;
  AHCClustering ahc_;
};

TEST_F(AHCClusteringTest, CutsTheDendrogramFromTheTop) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    const char* name;
    Rows rows;
    double threshold;
    Labels labels;
    std::vector<std::string> log;
  };
  const std::string clamping = " outside [0, 2]; clamping";
  const Case cases[] = {
      {"pair below the threshold", {{1, 0}, {2, 0}, {0, 3}}, 0.6, {0, 0, 1}, {}},
      {"everything at 2", {{1, 0}, {2, 0}, {0, 3}}, 2.0, {0, 0, 0}, {}},
      {"labels by first appearance", {{0, 3}, {1, 0}, {2, 0}}, 0.6, {0, 1, 1}, {}},
      {"root below takes its whole subtree", kInversion, 1.6, {0, 0, 0}, {}},
      {"root above splits", kInversion, 1.5, {0, 1, 2}, {}},
      {"negative clamps to 0", {{1, 0}, {2, 0}, {0, 3}}, -1, {0, 0, 1}, {"Clustering threshold -1.0" + clamping}},
      {"above 2 clamps to 2", kInversion, 5, {0, 0, 0}, {"Clustering threshold 5.0" + clamping}},
      {"NaN merges nothing", kInversion, nan, {0, 1, 2}, {"Clustering threshold is NaN; disabling AHC merging"}},
      {"NaN point", {{1, 0}, {nan, 1}, {0, 1}}, 0.6, {0, 1, 2}, {"fastcluster failed with status 5"}},
      {"infinite point", {{1, 0}, {INFINITY, 1}, {0, 1}}, 0.6, {0, 1, 2}, {"fastcluster failed with status 5"}},
      {"zero row stays zeros", {{0, 0}, {0, 0}, {0, 1}}, 0.6, {0, 0, 1}, {}},
      {"one row", {{0.3, 0.4}}, 0.6, {0}, {}},
      {"rows of no values", {{}, {}, {}}, 0.6, {0, 0, 0}, {}},
      {"no rows", {}, 0.6, {}, {}},
      {"shorter row", {{1, 0}, {1}, {0, 1}}, 0.6, {0, 1, 2},
       {"AHC received rows of unequal length: row 1 has 1 values, the first has 2"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::size_t before = messages().size();
    EXPECT_EQ(ahc_.cluster(c.rows, c.threshold), c.labels);
    const auto log = messages();
    EXPECT_EQ(std::vector<std::string>(log.begin() + static_cast<std::ptrdiff_t>(before), log.end()), c.log);
  }
}

TEST_F(AHCClusteringTest, WarningsAndErrorsReachTheirLevels) {
  ahc_.cluster(kInversion, -1);
  ahc_.cluster({{1, 0}, {std::numeric_limits<double>::quiet_NaN(), 1}}, 0.6);
  std::vector<platform::SystemLog::Level> levels;
  for (const auto& record : log_.records()) {
    if (record.category == "OfflineAHC") levels.push_back(record.level);
  }
  // The system log has no warning type of its own for these: both arrive as errors.
  EXPECT_EQ(levels, (std::vector{platform::SystemLog::Level::error, platform::SystemLog::Level::error}));
}

TEST_F(AHCClusteringTest, PartitionsMatchTheNaiveLinkageOnSeededSets) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  for (int round = 0; round < 40; ++round) {
    const std::size_t n = 2 + round % 11, m = 2 + round % 4;
    SCOPED_TRACE(testing::Message() << "round " << round << ", n " << n << ", m " << m);
    const auto points = testsupport::CentroidLinkageReference::randomPoints(n, m, random, true);
    const testsupport::CentroidLinkageReference reference(points);
    const auto dendrogram = reference.linkage();
    if (!dendrogram.distinct) continue;
    std::vector<double> heights = {0.0, 2.0};
    for (std::size_t r = 0; r + 1 < n; ++r) heights.push_back(dendrogram.rows[r * 4 + 2]);
    std::sort(heights.begin(), heights.end());
    // Cut between neighbouring heights, where rounding cannot flip a comparison.
    for (std::size_t h = 0; h + 1 < heights.size(); ++h) {
      if (heights[h + 1] - heights[h] < 1e-6) continue;
      const double threshold = (heights[h] + heights[h + 1]) / 2;
      SCOPED_TRACE(testing::Message() << "threshold " << threshold);
      EXPECT_EQ(ahc_.cluster(points, threshold), reference.partition(dendrogram, threshold));
    }
  }
}

}  // namespace
}  // namespace tesselaudio
