#pragma once

#include <vector>

namespace tesselaudio {

// The continuous integrate-and-fire step of the Paraformer recogniser: weighted encoder frames are
// summed until the weights reach one token's worth (ParaformerConfig::cifThreshold), and each such
// sum becomes one token embedding. Library-internal; pure functions, safe from any thread.
namespace ParaformerCif {

struct Fired {
  // One embedding per token, each as wide as the rows.
  std::vector<std::vector<float>> embeds;
  // The step at which each embedding fired: a frame index, or the row count for the tail step.
  std::vector<int> fireFrames;

  bool operator==(const Fired&) const = default;
};

// Runs the rows and weights through one step per row, plus a tail step of weight
// ParaformerConfig::cifTailThreshold over a row of zeros. At most one token fires per step; a
// leftover of a whole token or more carries to the next step. The width is that of the first row,
// 512 without rows.
// REQUIRES: alphas.size() >= encRows.size(); all rows equally wide.
Fired integrateAndFireWithFireFrames(const std::vector<std::vector<float>>& encRows,
                                     const std::vector<float>& alphas);

}  // namespace ParaformerCif
}  // namespace tesselaudio
