#include "speech/Diarizer/Offline/Reconstruction/ZeroVoteReembedder.h"

#include <algorithm>
#include <cmath>

namespace tesselaudio::ZeroVoteReembedder {
namespace {

// The runs over `frames` frames of which `isZeroVote` picks the members.
template <class IsZeroVote>
std::vector<FrameRange> runsOf(std::size_t frames, IsZeroVote isZeroVote, double frameDuration,
                               double minDurationSeconds) {
  std::vector<FrameRange> runs;
  if (!(frameDuration > 0)) return runs;
  const auto keep = [&](std::size_t first, std::size_t end) {
    if (static_cast<double>(end - first) * frameDuration >= minDurationSeconds) {
      runs.push_back({static_cast<std::int64_t>(first), static_cast<std::int64_t>(end)});
    }
  };
  std::optional<std::size_t> open;
  for (std::size_t f = 0; f < frames; ++f) {
    if (isZeroVote(f)) {
      if (!open) open = f;
    } else if (open) {
      keep(*open, f);
      open.reset();
    }
  }
  if (open) keep(*open, frames);
  return runs;
}

bool allZero(std::span<const double> values) {
  return std::all_of(values.begin(), values.end(), [](double v) { return v == 0; });
}

double dot(const std::vector<double>& a, const std::vector<double>& b) {
  double sum = 0;
  for (std::size_t i = 0; i < a.size(); ++i) sum += a[i] * b[i];
  return sum;
}

}  // namespace

std::vector<FrameRange> detectRuns(const std::vector<std::int64_t>& speakerCountPerFrame,
                                   const std::vector<std::vector<double>>& activationSums, double frameDuration,
                                   double minDurationSeconds) {
  const std::size_t frames = std::min(speakerCountPerFrame.size(), activationSums.size());
  return runsOf(
      frames, [&](std::size_t f) { return speakerCountPerFrame[f] == 1 && allZero(activationSums[f]); },
      frameDuration, minDurationSeconds);
}

std::vector<FrameRange> detectRuns(std::span<const std::int64_t> speakerCountPerFrame,
                                   std::span<const double> activationSums, std::size_t clusterCount,
                                   double frameDuration, double minDurationSeconds) {
  if (clusterCount == 0) return {};
  const std::size_t frames = std::min(speakerCountPerFrame.size(), activationSums.size() / clusterCount);
  return runsOf(
      frames,
      [&](std::size_t f) {
        return speakerCountPerFrame[f] == 1 && allZero(activationSums.subspan(f * clusterCount, clusterCount));
      },
      frameDuration, minDurationSeconds);
}

std::optional<Assignment> assignment(const std::vector<double>& embedding,
                                     const std::vector<std::vector<double>>& centroids) {
  if (embedding.empty() || centroids.empty()) return std::nullopt;
  if (!std::all_of(embedding.begin(), embedding.end(), [](double v) { return std::isfinite(v); })) return std::nullopt;
  const double embeddingNorm = dot(embedding, embedding);
  Assignment result;
  result.similarities.reserve(centroids.size());
  for (std::size_t c = 0; c < centroids.size(); ++c) {
    const auto& centroid = centroids[c];
    if (centroid.size() != embedding.size()) return std::nullopt;
    const double similarity = dot(embedding, centroid) / std::sqrt(embeddingNorm * dot(centroid, centroid));
    if (!std::isfinite(similarity)) return std::nullopt;
    if (c == 0 || similarity > result.similarities[static_cast<std::size_t>(result.clusterIndex)]) {
      result.clusterIndex = static_cast<std::int64_t>(c);
    }
    result.similarities.push_back(similarity);
  }
  return result;
}

}  // namespace tesselaudio::ZeroVoteReembedder
