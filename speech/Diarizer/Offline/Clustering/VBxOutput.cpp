#include "speech/Diarizer/Offline/Clustering/VBxOutput.h"

#include <algorithm>
#include <set>

namespace tesselaudio {

std::int64_t VBxOutput::activeClusterCount() const {
  if (pi.empty()) return numClusters;
  return std::count_if(pi.begin(), pi.end(), [](double weight) { return weight > activeClusterEpsilon; });
}

std::int64_t VBxOutput::assignedClusterCount() const {
  std::set<std::size_t> assigned;
  for (const auto& row : gamma) {
    if (row.empty()) continue;
    std::size_t best = 0;
    for (std::size_t s = 1; s < row.size(); ++s) {
      if (row[s] > row[best]) best = s;
    }
    assigned.insert(best);
  }
  if (assigned.empty()) return activeClusterCount();
  return static_cast<std::int64_t>(assigned.size());
}

}  // namespace tesselaudio
