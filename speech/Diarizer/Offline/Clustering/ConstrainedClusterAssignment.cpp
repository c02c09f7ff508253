#include "speech/Diarizer/Offline/Clustering/ConstrainedClusterAssignment.h"

#include <algorithm>
#include <map>

#include "speech/Diarizer/HungarianAssignment.h"

namespace tesselaudio::ConstrainedClusterAssignment {
namespace {

constexpr std::int64_t kUnassigned = -2;

bool rowsAgreeInLength(const std::vector<std::vector<double>>& rows) {
  return std::all_of(rows.begin(), rows.end(), [&](const auto& row) { return row.size() == rows.front().size(); });
}

}  // namespace

std::vector<std::int64_t> assign(const std::vector<std::vector<double>>& scores,
                                 const std::vector<std::int64_t>& chunkIndices) {
  std::vector<std::int64_t> result(scores.size(), kUnassigned);
  std::map<std::int64_t, std::vector<std::size_t>> windows;
  for (std::size_t i = 0; i < std::min(scores.size(), chunkIndices.size()); ++i) windows[chunkIndices[i]].push_back(i);

  for (const auto& [window, positions] : windows) {
    std::vector<std::vector<double>> rows;
    rows.reserve(positions.size());
    for (std::size_t position : positions) rows.push_back(scores[position]);
    if (!rowsAgreeInLength(rows)) continue;
    const auto columns = HungarianAssignment::maxScoreAssignment(rows);
    for (std::size_t p = 0; p < positions.size(); ++p) {
      if (columns[p] >= 0) result[positions[p]] = columns[p];
    }
  }
  return result;
}

}  // namespace tesselaudio::ConstrainedClusterAssignment
