// Exact assignment on square cost matrices, as the diarization error rate and the constrained
// cluster assignment run it.
//
// BM_HungarianSolve: a seeded random 100 × 100 matrix of costs from 0 to 10^6.
// BM_HungarianSolve_Baseline: the same on 50 × 50, in the same run. The solver is O(n³), so the
// 100 × 100 case should take about 8 times the baseline's CPU time (at most 10 times).

#include <cstdint>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "speech/Diarizer/HungarianAssignment.h"

namespace tesselaudio {
namespace {

std::vector<std::int64_t> randomCosts(std::int64_t n) {
  std::mt19937_64 random(42);
  std::uniform_int_distribution<std::int64_t> cost(0, 1'000'000);
  std::vector<std::int64_t> costs(static_cast<std::size_t>(n * n));
  for (auto& c : costs) c = cost(random);
  return costs;
}

void solveRandom(benchmark::State& state, std::int64_t n) {
  const auto costs = randomCosts(n);
  for (auto _ : state) {
    auto assignment = HungarianAssignment::solve(costs, n);
    benchmark::DoNotOptimize(assignment.data());
  }
  state.SetItemsProcessed(state.iterations() * n);
}

void BM_HungarianSolve(benchmark::State& state) { solveRandom(state, 100); }
void BM_HungarianSolve_Baseline(benchmark::State& state) { solveRandom(state, 50); }

BENCHMARK(BM_HungarianSolve)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_HungarianSolve_Baseline)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tesselaudio
