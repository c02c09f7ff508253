#include "speech/Diarizer/HungarianAssignment.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "platform/sys/InvalidArgumentError.h"

namespace tesselaudio {
namespace {

using Assignment = std::vector<std::int64_t>;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::int64_t totalCost(const std::vector<std::int64_t>& cost, std::int64_t n, const Assignment& a) {
  std::int64_t total = 0;
  for (std::int64_t row = 0; row < n; ++row) total += cost[static_cast<std::size_t>(row * n + a[row])];
  return total;
}

std::int64_t bruteForceMinimum(const std::vector<std::int64_t>& cost, std::int64_t n) {
  Assignment permutation(static_cast<std::size_t>(n));
  std::iota(permutation.begin(), permutation.end(), 0);
  std::int64_t best = std::numeric_limits<std::int64_t>::max();
  do {
    best = std::min(best, totalCost(cost, n, permutation));
  } while (std::next_permutation(permutation.begin(), permutation.end()));
  return best;
}

TEST(HungarianAssignmentTest, SolvesHandComputedCases) {
  struct Case {
    const char* name;
    std::vector<std::int64_t> cost;
    std::int64_t n;
    Assignment expected;
  };
  const Case cases[] = {
      {"empty", {}, 0, {}},
      {"single", {42}, 1, {0}},
      {"equal costs", std::vector<std::int64_t>(9, 7), 3, {0, 1, 2}},
      {"all ones", {1, 1, 1, 1}, 2, {0, 1}},
      {"three by three", {4, 1, 3, 2, 0, 5, 3, 2, 2}, 3, {1, 0, 2}},
      {"negative costs", {-5, 0, 0, -5}, 2, {0, 1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(HungarianAssignment::solve(c.cost, c.n), c.expected);
  }
  EXPECT_EQ(totalCost({4, 1, 3, 2, 0, 5, 3, 2, 2}, 3, {1, 0, 2}), 5);
}

TEST(HungarianAssignmentTest, MatchesBruteForceOnRandomMatrices) {
  const unsigned seed = 20261211;
  std::printf("HungarianAssignmentTest seed: %u\n", seed);
  SCOPED_TRACE(seed);
  std::mt19937 random(seed);
  std::uniform_int_distribution<std::int64_t> size(1, 6);
  std::uniform_int_distribution<std::int64_t> value(-50, 1000);
  for (int trial = 0; trial < 400; ++trial) {
    const std::int64_t n = size(random);
    std::vector<std::int64_t> cost(static_cast<std::size_t>(n * n));
    // A narrow range now and then, so that ties between assignments are common.
    const bool narrow = trial % 4 == 0;
    for (auto& c : cost) c = narrow ? value(random) % 3 : value(random);
    const Assignment a = HungarianAssignment::solve(cost, n);
    ASSERT_EQ(static_cast<std::int64_t>(a.size()), n);
    Assignment sorted = a;
    std::sort(sorted.begin(), sorted.end());
    for (std::int64_t j = 0; j < n; ++j) ASSERT_EQ(sorted[static_cast<std::size_t>(j)], j) << "not a permutation";
    ASSERT_EQ(totalCost(cost, n, a), bruteForceMinimum(cost, n)) << "trial " << trial;
  }
}

TEST(HungarianAssignmentTest, RefusesACostListOfTheWrongSize) {
  EXPECT_THROW(HungarianAssignment::solve({1, 2, 3}, 2), platform::InvalidArgumentError);
  EXPECT_THROW(HungarianAssignment::solve({1, 2, 3, 4, 5}, 2), platform::InvalidArgumentError);
  EXPECT_THROW(HungarianAssignment::solve({1}, 0), platform::InvalidArgumentError);
  EXPECT_THROW(HungarianAssignment::solve({}, -1), platform::InvalidArgumentError);
}

TEST(HungarianAssignmentTest, MaximisesScores) {
  struct Case {
    const char* name;
    std::vector<std::vector<double>> scores;
    Assignment expected;
  };
  const Case cases[] = {
      {"more rows than columns", {{0.9, 0.1}, {0.8, 0.7}, {0.2, 0.3}}, {0, 1, -1}},
      {"one column goes to the best row", {{1.0}, {2.0}, {3.0}}, {-1, -1, 0}},
      {"tie settled by the solver's order", {{0.2, 0.9}, {0.1, 0.8}}, {1, 0}},
      {"NaN costs below the worst finite score", {{0.9, kNaN}, {0.8, 0.1}}, {0, 1}},
      {"nothing finite gives the identity", {{kNaN, kInf}, {-kInf, kNaN}}, {0, 1}},
      {"more columns than rows", {{0.1, 0.2, 0.9}}, {2}},
      {"no rows", {}, {}},
      {"two empty rows", {{}, {}}, {-1, -1}},
      {"infinite score counts as the worst",
       {{kInf, 0.5}, {0.4, 0.3}}, {1, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(HungarianAssignment::maxScoreAssignment(c.scores), c.expected);
  }
}

TEST(HungarianAssignmentTest, ScoresFarApartAreClampedNotOverflowed) {
  // (best − worst) × 10^6 is far beyond 64 bits here; without the clamp the conversion is undefined.
  EXPECT_EQ(HungarianAssignment::maxScoreAssignment({{1e300, 1e299}, {-1e300, 0}}),
            (Assignment{0, 1}));
  EXPECT_EQ(HungarianAssignment::maxScoreAssignment({{-1e308, 1e308}, {1e308, -1e308}}),
            (Assignment{1, 0}));
  EXPECT_EQ(HungarianAssignment::maxScoreAssignment({{std::numeric_limits<double>::max(), kNaN},
                                                     {kNaN, -std::numeric_limits<double>::max()}}),
            (Assignment{0, 1}));
}

TEST(HungarianAssignmentTest, RefusesRowsOfUnequalLength) {
  EXPECT_THROW(HungarianAssignment::maxScoreAssignment({{0.1, 0.2}, {0.3}}),
               platform::InvalidArgumentError);
  EXPECT_THROW(HungarianAssignment::maxScoreAssignment({{}, {0.3}}), platform::InvalidArgumentError);
}

}  // namespace
}  // namespace tesselaudio
