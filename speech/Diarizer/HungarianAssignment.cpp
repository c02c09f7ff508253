#include "speech/Diarizer/HungarianAssignment.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <string>

#include "platform/sys/InvalidArgumentError.h"

namespace tesselaudio::HungarianAssignment {
namespace {

// A quarter of the range, so that slack arithmetic on ordinary costs never overflows.
constexpr std::int64_t kUnreachable = std::numeric_limits<std::int64_t>::max() / 4;
constexpr double kScoreScale = 1'000'000;
// Far above any real score gap in millionths, far below kUnreachable.
constexpr double kCostCeiling = 1125899906842624.0;  // 2^50

std::size_t at(std::int64_t i) { return static_cast<std::size_t>(i); }

// Inserts row `i` into the matching along a shortest augmenting path, updating the potentials.
void insertRow(const std::vector<std::int64_t>& cost, std::int64_t n, std::int64_t i,
               std::vector<std::int64_t>& u, std::vector<std::int64_t>& v,
               std::vector<std::int64_t>& p, std::vector<std::int64_t>& way) {
  p[0] = i;
  std::int64_t j0 = 0;
  std::vector<std::int64_t> minv(at(n + 1), kUnreachable);
  std::vector<char> used(at(n + 1), 0);
  do {
    used[at(j0)] = 1;
    const std::int64_t i0 = p[at(j0)];
    std::int64_t delta = kUnreachable;
    std::int64_t j1 = 0;
    const std::int64_t* row = cost.data() + (i0 - 1) * n;
    for (std::int64_t j = 1; j <= n; ++j) {
      if (used[at(j)]) continue;
      const std::int64_t cur = row[j - 1] - u[at(i0)] - v[at(j)];
      if (cur < minv[at(j)]) {
        minv[at(j)] = cur;
        way[at(j)] = j0;
      }
      if (minv[at(j)] < delta) {
        delta = minv[at(j)];
        j1 = j;
      }
    }
    for (std::int64_t j = 0; j <= n; ++j) {
      if (used[at(j)]) {
        u[at(p[at(j)])] += delta;
        v[at(j)] -= delta;
      } else {
        minv[at(j)] -= delta;
      }
    }
    j0 = j1;
  } while (p[at(j0)] != 0);
  do {
    const std::int64_t j1 = way[at(j0)];
    p[at(j0)] = p[at(j1)];
    j0 = j1;
  } while (j0 != 0);
}

}  // namespace

std::vector<std::int64_t> solve(const std::vector<std::int64_t>& costSquare, std::int64_t n) {
  if (n < 0) throw platform::InvalidArgumentError("n", "negative size " + std::to_string(n));
  if (static_cast<std::uint64_t>(n) * static_cast<std::uint64_t>(n) != costSquare.size()) {
    throw platform::InvalidArgumentError(
        "costSquare", std::to_string(costSquare.size()) + " costs for a " + std::to_string(n) +
                          " × " + std::to_string(n) + " matrix");
  }
  if (n == 0) return {};
  // Rows and columns count from 1 here; column 0 is the virtual column of the row being inserted.
  std::vector<std::int64_t> u(at(n + 1), 0), v(at(n + 1), 0), p(at(n + 1), 0), way(at(n + 1), 0);
  for (std::int64_t i = 1; i <= n; ++i) insertRow(costSquare, n, i, u, v, p, way);

  std::vector<std::int64_t> result(at(n), -1);
  for (std::int64_t j = 1; j <= n; ++j) {
    if (p[at(j)] != 0) result[at(p[at(j)] - 1)] = j - 1;
  }
  return result;
}

std::vector<std::int64_t> maxScoreAssignment(const std::vector<std::vector<double>>& scores) {
  const std::size_t rows = scores.size();
  if (rows == 0) return {};
  const std::size_t cols = scores.front().size();
  for (std::size_t r = 0; r < rows; ++r) {
    if (scores[r].size() != cols) {
      throw platform::InvalidArgumentError(
          "scores", "row " + std::to_string(r) + " has " + std::to_string(scores[r].size()) +
                        " scores where the first has " + std::to_string(cols));
    }
  }
  if (cols == 0) return std::vector<std::int64_t>(rows, -1);

  bool anyFinite = false;
  double hi = 0;
  double lo = 0;
  for (const auto& row : scores) {
    for (double s : row) {
      if (!std::isfinite(s)) continue;
      hi = anyFinite ? std::max(hi, s) : s;
      lo = anyFinite ? std::min(lo, s) : s;
      anyFinite = true;
    }
  }
  const double replacement = anyFinite ? lo - 1 : -1;

  const std::size_t n = std::max(rows, cols);
  std::vector<std::int64_t> cost(n * n, 0);
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t c = 0; c < cols; ++c) {
      const double s = std::isfinite(scores[r][c]) ? scores[r][c] : replacement;
      // Clamped before rounding: a huge spread would leave the 64-bit range (and inf is no number).
      const double scaled = std::min((hi - s) * kScoreScale, kCostCeiling);
      cost[r * n + c] = static_cast<std::int64_t>(std::llround(scaled));
    }
  }
  const std::vector<std::int64_t> assignment = solve(cost, static_cast<std::int64_t>(n));

  std::vector<std::int64_t> result(rows);
  for (std::size_t r = 0; r < rows; ++r) {
    result[r] = assignment[r] < static_cast<std::int64_t>(cols) ? assignment[r] : -1;
  }
  return result;
}

}  // namespace tesselaudio::HungarianAssignment
