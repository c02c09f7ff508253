#pragma once

#include <cstdint>
#include <vector>

// Exact one-to-one assignment: a minimum-cost solver on square integer costs (the
// shortest-augmenting-path Hungarian method with row and column potentials, O(n³)) and a wrapper
// that maximises real-valued scores on rectangular matrices. Stateless; safe from any thread.
namespace tesselaudio::HungarianAssignment {

// The column given to each row so that the summed cost is least. `costSquare` holds n·n costs in
// row-major order (the cost of row i taking column j at i·n + j). Returns n columns, one per row;
// on equal totals the solver's order of steps decides. Throws platform::InvalidArgumentError for
// a negative n or a cost list of another length than n·n.
// REQUIRES: costs small enough that costs minus potentials stay far inside 64 bits (|cost| ≤ 2^50
// is safe).
std::vector<std::int64_t> solve(const std::vector<std::int64_t>& costSquare, std::int64_t n);

// The column given to each row of `scores` (rows × columns) so that the summed score of the rows
// that get a column is greatest, or -1 for a row left without one (more rows than columns).
// Scores count in millionths; a score that is not finite counts as one whole unit below the worst
// finite score. Costs are clamped to 2^50, so scores of any magnitude are safe. Throws
// platform::InvalidArgumentError when a row is not as long as the first.
std::vector<std::int64_t> maxScoreAssignment(const std::vector<std::vector<double>>& scores);

}  // namespace tesselaudio::HungarianAssignment
