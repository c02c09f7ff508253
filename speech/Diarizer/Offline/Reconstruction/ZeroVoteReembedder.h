#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

// Finding stretches of speech that no cluster voted for, and choosing the cluster whose centroid
// lies closest to their audio's embedding. Stateless functions, safe from any thread.
namespace tesselaudio::ZeroVoteReembedder {

// The centroid chosen for an embedding.
struct Assignment {
  std::int64_t clusterIndex = 0;
  // Cosine similarity to every centroid, in centroid order.
  std::vector<double> similarities;

  bool operator==(const Assignment&) const = default;
};

// Half-open range of global frames [lowerBound, upperBound).
struct FrameRange {
  std::int64_t lowerBound = 0;
  std::int64_t upperBound = 0;

  bool operator==(const FrameRange&) const = default;
};

// The maximal runs of zero-vote frames (speaker count exactly 1, every activation sum 0) among the
// first min(speakerCountPerFrame.size(), activationSums.size()) frames that last at least
// `minDurationSeconds`, in frame order; a run reaching the last frame closes there. Empty when
// `frameDuration` is not positive.
std::vector<FrameRange> detectRuns(const std::vector<std::int64_t>& speakerCountPerFrame,
                                   const std::vector<std::vector<double>>& activationSums, double frameDuration,
                                   double minDurationSeconds);
// The same over activation sums held row by row in one array of `clusterCount` values per frame
// (no rows, so no runs, when `clusterCount` is 0).
std::vector<FrameRange> detectRuns(std::span<const std::int64_t> speakerCountPerFrame,
                                   std::span<const double> activationSums, std::size_t clusterCount,
                                   double frameDuration, double minDurationSeconds);

// The first centroid with the largest cosine similarity to `embedding`. None when the embedding or
// the centroid list is empty, a value of the embedding is not finite, a centroid's length differs
// from the embedding's, or a similarity is not finite (a zero vector).
std::optional<Assignment> assignment(const std::vector<double>& embedding,
                                     const std::vector<std::vector<double>>& centroids);

}  // namespace tesselaudio::ZeroVoteReembedder
