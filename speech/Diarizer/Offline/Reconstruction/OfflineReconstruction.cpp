#include "speech/Diarizer/Offline/Reconstruction/OfflineReconstruction.h"

#include <algorithm>
#include <cmath>
#include <span>
#include <utility>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "speech/Diarizer/Offline/Reconstruction/ZeroVoteReembedder.h"

namespace tesselaudio {
namespace {

// One open segment of one cluster.
struct Accumulator {
  double start = 0;
  double end = 0;
  double scoreSum = 0;
  std::int64_t frameCount = 0;
};

std::string speakerId(std::int64_t cluster) { return "S" + std::to_string(cluster + 1); }

// Start, then end, then speaker id as text, so "S10" comes before "S2".
bool segmentOrder(const TimedSpeakerSegment& a, const TimedSpeakerSegment& b) {
  if (a.startTimeSeconds != b.startTimeSeconds) return a.startTimeSeconds < b.startTimeSeconds;
  if (a.endTimeSeconds != b.endTimeSeconds) return a.endTimeSeconds < b.endTimeSeconds;
  return a.speakerId < b.speakerId;
}

void sortSegments(std::vector<TimedSpeakerSegment>& segments) {
  std::stable_sort(segments.begin(), segments.end(), segmentOrder);
}

double clampUnit(double value) { return std::clamp(value, 0.0, 1.0); }

// The whole number `value` limited to 0 ... last; 0 for not-a-number. Limited as a double first:
// a far frame must not overflow the conversion.
std::size_t frameIndex(double value, std::size_t last) {
  if (!(value > 0)) return 0;
  if (value >= static_cast<double>(last)) return last;
  return static_cast<std::size_t>(value);
}

}  // namespace

// The working state of one buildSegments call over T global frames and K' cluster slots.
struct OfflineReconstruction::FrameGrid {
  double frameDuration = 0;
  std::size_t frames = 0;
  std::size_t clusters = 0;
  // T × K', frame by frame.
  std::vector<double> activationSums;
  std::vector<double> voteCounts;
  std::vector<double> speakerMass;
  std::vector<double> chunkCount;
  std::vector<std::int64_t> speakerCount;
  // Frame g's clusters are frameClusters[clusterStart[g] ..< clusterStart[g + 1]].
  std::vector<std::size_t> clusterStart;
  std::vector<std::int64_t> frameClusters;

  double averagedActivity(std::size_t frame, std::int64_t cluster) const {
    if (cluster < 0 || static_cast<std::size_t>(cluster) >= clusters) return 0;
    const std::size_t at = frame * clusters + static_cast<std::size_t>(cluster);
    return voteCounts[at] > 0 ? activationSums[at] / voteCounts[at] : 0;
  }

  std::span<const std::int64_t> clustersOf(std::size_t frame) const {
    return std::span<const std::int64_t>(frameClusters).subspan(clusterStart[frame],
                                                                clusterStart[frame + 1] - clusterStart[frame]);
  }
};

std::vector<TimedSpeakerSegment> OfflineReconstruction::buildSegments(
    const SegmentationOutput& segmentation, const std::vector<std::vector<std::int64_t>>& hardClusters,
    const std::vector<std::vector<double>>& centroids, const SpanEmbedder& spanEmbedder) const {
  if (segmentation.numChunks <= 0 || segmentation.numFrames <= 0 || !(segmentation.frameDuration > 0)) return {};
  FrameGrid grid = castVotes(segmentation, hardClusters, std::max<std::size_t>(centroids.size(), 1));
  countSpeakers(grid, segmentation.numSpeakers);
  chooseFrameClusters(grid);
  if (config.zeroVoteReembed.enabled && spanEmbedder && !centroids.empty()) {
    applyZeroVoteReembed(grid, centroids, spanEmbedder);
  }
  const double gapThreshold = std::max(config.postProcessing.minGapDurationSeconds, config.segmentation.minDurationOff);
  return sanitize(mergeSegments(cutSegments(grid, centroids), gapThreshold));
}

OfflineReconstruction::FrameGrid OfflineReconstruction::castVotes(
    const SegmentationOutput& segmentation, const std::vector<std::vector<std::int64_t>>& hardClusters,
    std::size_t clusterSlots) const {
  const double c = segmentation.frameDuration;
  const auto offsetOf = [&](std::int64_t j) {
    const auto index = static_cast<std::size_t>(j);
    return index < segmentation.chunkOffsets.size() ? segmentation.chunkOffsets[index]
                                                     : static_cast<double>(j) * config.segmentation.windowDurationSeconds;
  };
  double end = 0;
  for (std::int64_t j = 0; j < segmentation.numChunks; ++j) {
    const double chunkEnd = offsetOf(j) + static_cast<double>(segmentation.numFrames) * c;
    if (std::isfinite(chunkEnd)) end = std::max(end, chunkEnd);
  }

  FrameGrid grid;
  grid.frameDuration = c;
  // Limited before the conversion; a grid this long could not be allocated anyway.
  grid.frames = std::max<std::size_t>(1, static_cast<std::size_t>(std::min(std::ceil(end / c), 0x1p53)));
  grid.clusters = clusterSlots;
  grid.activationSums.assign(grid.frames * grid.clusters, 0.0);
  grid.voteCounts.assign(grid.frames * grid.clusters, 0.0);
  grid.speakerMass.assign(grid.frames, 0.0);
  grid.chunkCount.assign(grid.frames, 0.0);

  // best[x] is the largest activity of a local speaker mapped to cluster x in the current frame;
  // only the clusters in `touched` are ever non-zero.
  std::vector<double> best(clusterSlots, 0.0);
  std::vector<std::size_t> touched;
  const auto chunks = std::min(static_cast<std::size_t>(segmentation.numChunks), segmentation.speakerWeights.size());
  for (std::size_t k = 0; k < chunks; ++k) {
    const auto& rows = segmentation.speakerWeights[k];
    const double offset = offsetOf(static_cast<std::int64_t>(k));
    if (rows.empty() || !std::isfinite(offset)) continue;
    // A window without an entry has no cluster for any of its speakers.
    const std::span<const std::int64_t> mapping =
        k < hardClusters.size() ? std::span<const std::int64_t>(hardClusters[k]) : std::span<const std::int64_t>();
    for (std::size_t t = 0; t < rows.size(); ++t) {
      const auto& row = rows[t];
      const std::size_t g = frameIndex(std::round((offset + c * static_cast<double>(t)) / c), grid.frames - 1);
      const std::size_t mapped = std::min(mapping.size(), row.size());
      double mass = 0;
      for (std::size_t l = 0; l < row.size(); ++l) mass += row[l];
      for (std::size_t l = 0; l < mapped; ++l) {
        const std::int64_t cluster = mapping[l];
        if (cluster < 0 || static_cast<std::size_t>(cluster) >= clusterSlots) continue;
        const auto x = static_cast<std::size_t>(cluster);
        best[x] = std::max(best[x], static_cast<double>(row[l]));
        touched.push_back(x);
      }
      grid.speakerMass[g] += mass;
      grid.chunkCount[g] += 1;
      for (const std::size_t x : touched) {
        // Cleared once counted, so a cluster that two speakers share votes once.
        if (best[x] > 0) {
          grid.activationSums[g * grid.clusters + x] += best[x];
          grid.voteCounts[g * grid.clusters + x] += 1;
        }
        best[x] = 0;
      }
      touched.clear();
    }
  }
  return grid;
}

void OfflineReconstruction::countSpeakers(FrameGrid& grid, std::int64_t localSpeakers) const {
  const double limit =
      static_cast<double>(std::max<std::int64_t>(0, std::min(localSpeakers, static_cast<std::int64_t>(grid.clusters))));
  grid.speakerCount.assign(grid.frames, 0);
  std::map<std::int64_t, std::int64_t> histogram;
  for (std::size_t g = 0; g < grid.frames; ++g) {
    if (!(grid.chunkCount[g] > 0)) continue;
    // Halves to even; not-a-number counts as no speaker.
    const double rounded = std::nearbyint(grid.speakerMass[g] / grid.chunkCount[g]);
    const auto count = rounded > 0 ? static_cast<std::int64_t>(std::min(rounded, limit)) : std::int64_t{0};
    grid.speakerCount[g] = count;
    ++histogram[count];
  }
  if (histogram.empty()) return;
  std::vector<std::string> entries;
  for (const auto& [value, frames] : histogram) entries.push_back(fmt::format("{}:{}", value, frames));
  logger.debug(fmt::format("Speaker-count histogram {}", fmt::join(entries, ", ")));
}

void OfflineReconstruction::chooseFrameClusters(FrameGrid& grid) const {
  grid.clusterStart.assign(grid.frames + 1, 0);
  grid.frameClusters.clear();
  std::vector<std::int64_t> order(grid.clusters);
  for (std::size_t g = 0; g < grid.frames; ++g) {
    grid.clusterStart[g] = grid.frameClusters.size();
    const auto w = static_cast<std::size_t>(grid.speakerCount[g]);
    if (w == 0) continue;
    const double* sums = grid.activationSums.data() + g * grid.clusters;
    for (std::size_t x = 0; x < order.size(); ++x) order[x] = static_cast<std::int64_t>(x);
    // Largest sum first; equal sums keep the lower index first, so a frame without votes gets 0 ... w − 1.
    std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(w), order.end(),
                      [&](std::int64_t a, std::int64_t b) { return sums[a] > sums[b] || (sums[a] == sums[b] && a < b); });
    grid.frameClusters.insert(grid.frameClusters.end(), order.begin(), order.begin() + static_cast<std::ptrdiff_t>(w));
  }
  grid.clusterStart[grid.frames] = grid.frameClusters.size();
}

void OfflineReconstruction::applyZeroVoteReembed(FrameGrid& grid, const std::vector<std::vector<double>>& centroids,
                                                 const SpanEmbedder& spanEmbedder) const {
  const auto runs = ZeroVoteReembedder::detectRuns(grid.speakerCount, grid.activationSums, grid.clusters,
                                                   grid.frameDuration, config.zeroVoteReembed.minDurationSeconds);
  for (const auto& run : runs) {
    const double start = grid.frameDuration * static_cast<double>(run.lowerBound);
    const double end = grid.frameDuration * static_cast<double>(run.upperBound);
    const std::string span = fmt::format("Zero-vote re-embed [{:.2f}s\u2013{:.2f}s]", start, end);
    const auto embedding = spanEmbedder(start, end);
    std::optional<ZeroVoteReembedder::Assignment> chosen;
    if (embedding) chosen = ZeroVoteReembedder::assignment({embedding->begin(), embedding->end()}, centroids);
    if (!chosen) {
      logger.warning(span + ": embedding failed; keeping tie-break assignment");
      continue;
    }
    // A zero-vote frame has a speaker count of 1: its one slot takes the chosen cluster.
    for (auto g = static_cast<std::size_t>(run.lowerBound); g < static_cast<std::size_t>(run.upperBound); ++g) {
      grid.frameClusters[grid.clusterStart[g]] = chosen->clusterIndex;
    }
    std::vector<std::string> cosines;
    for (const double similarity : chosen->similarities) cosines.push_back(fmt::format("{:.3f}", similarity));
    logger.info(fmt::format("{}: assigned {} (cosines [{}])", span, speakerId(chosen->clusterIndex),
                            fmt::join(cosines, ", ")));
  }
}

std::vector<TimedSpeakerSegment> OfflineReconstruction::cutSegments(
    const FrameGrid& grid, const std::vector<std::vector<double>>& centroids) const {
  std::vector<std::vector<float>> embeddings;
  embeddings.reserve(centroids.size());
  for (const auto& centroid : centroids) embeddings.emplace_back(centroid.begin(), centroid.end());
  const std::vector<float> noCentroid(centroids.empty() ? 0 : centroids.front().size(), 0.0f);
  std::vector<TimedSpeakerSegment> segments;
  const auto emit = [&](std::int64_t cluster, const Accumulator& open, double end) {
    const double quality = open.frameCount >= 1 ? clampUnit(open.scoreSum / static_cast<double>(open.frameCount)) : 0;
    const bool valid = cluster >= 0 && static_cast<std::size_t>(cluster) < embeddings.size();
    segments.emplace_back(speakerId(cluster), valid ? embeddings[static_cast<std::size_t>(cluster)] : noCentroid,
                          static_cast<float>(open.start), static_cast<float>(end), static_cast<float>(quality));
  };

  std::vector<std::optional<Accumulator>> open(grid.clusters);
  std::vector<std::int64_t> openClusters;
  const double c = grid.frameDuration;
  for (std::size_t g = 0; g < grid.frames; ++g) {
    const double s = c * static_cast<double>(g);
    const auto active = grid.clustersOf(g);
    std::erase_if(openClusters, [&](std::int64_t cluster) {
      if (std::find(active.begin(), active.end(), cluster) != active.end()) return false;
      auto& accumulator = open[static_cast<std::size_t>(cluster)];
      if (accumulator->start < s) emit(cluster, *accumulator, s);
      accumulator.reset();
      return true;
    });
    for (const std::int64_t cluster : active) {
      const double d = grid.averagedActivity(g, cluster);
      auto& accumulator = open[static_cast<std::size_t>(cluster)];
      if (accumulator) {
        accumulator->end = s + c;
        accumulator->scoreSum += d;
        accumulator->frameCount += 1;
      } else {
        accumulator = Accumulator{s, s + c, d, 1};
        openClusters.push_back(cluster);
      }
    }
  }
  for (const std::int64_t cluster : openClusters) {
    const auto& accumulator = *open[static_cast<std::size_t>(cluster)];
    if (accumulator.start < accumulator.end) emit(cluster, accumulator, accumulator.end);
  }
  return segments;
}

std::vector<TimedSpeakerSegment> OfflineReconstruction::mergeSegments(std::vector<TimedSpeakerSegment> segments,
                                                                      double gapThreshold) const {
  if (segments.empty()) return segments;
  sortSegments(segments);
  std::vector<TimedSpeakerSegment> merged;
  TimedSpeakerSegment current = segments.front();
  for (std::size_t i = 1; i < segments.size(); ++i) {
    const TimedSpeakerSegment& next = segments[i];
    const double gap = static_cast<double>(next.startTimeSeconds) - static_cast<double>(current.endTimeSeconds);
    // Overlapping segments of one speaker merge whatever the threshold.
    const bool close = gap < 0 || gap <= gapThreshold;
    if (next.speakerId != current.speakerId || !close) {
      merged.push_back(std::move(current));
      current = next;
      continue;
    }
    const float currentLength = current.endTimeSeconds - current.startTimeSeconds;
    const float nextLength = next.endTimeSeconds - next.startTimeSeconds;
    const double total = static_cast<double>(currentLength) + static_cast<double>(nextLength);
    const double q1 = current.qualityScore;
    const double q2 = next.qualityScore;
    const double quality = total > 0 ? (currentLength * q1 + nextLength * q2) / total : (q1 + q2) / 2;
    current = TimedSpeakerSegment(current.speakerId, current.embedding, current.startTimeSeconds,
                                  std::max(current.endTimeSeconds, next.endTimeSeconds),
                                  static_cast<float>(clampUnit(quality)));
  }
  merged.push_back(std::move(current));
  return merged;
}

std::vector<TimedSpeakerSegment> OfflineReconstruction::sanitize(std::vector<TimedSpeakerSegment> segments) const {
  sortSegments(segments);
  const auto minimum =
      static_cast<float>(std::max(config.embedding.minSegmentDurationSeconds, config.segmentation.minDurationOn));
  std::erase_if(segments, [&](const TimedSpeakerSegment& segment) {
    return !(segment.endTimeSeconds - segment.startTimeSeconds >= minimum);
  });
  return config.postProcessing.exclusiveSegments ? excludeOverlaps(segments) : segments;
}

std::vector<TimedSpeakerSegment> OfflineReconstruction::excludeOverlaps(
    const std::vector<TimedSpeakerSegment>& segments) const {
  const auto minimum = static_cast<float>(config.embedding.minSegmentDurationSeconds);
  std::vector<TimedSpeakerSegment> kept;
  for (const auto& segment : segments) {
    const float a = segment.startTimeSeconds;
    const float b = segment.endTimeSeconds;
    const float h = kept.empty() ? a : std::max(a, kept.back().endTimeSeconds);
    if (b <= h || b - h < minimum) continue;
    const float keptFraction = b - a > 0 ? (b - h) / (b - a) : 1.0f;
    const float quality = std::max(std::min(segment.qualityScore * keptFraction, 1.0f), 0.0f);
    kept.emplace_back(segment.speakerId, segment.embedding, h, b, quality);
  }
  return kept;
}

std::map<std::string, std::vector<float>> OfflineReconstruction::buildSpeakerDatabase(
    const std::vector<TimedSpeakerSegment>& segments) const {
  std::map<std::string, std::pair<std::vector<float>, std::int64_t>> sums;
  for (const auto& segment : segments) {
    auto [entry, created] = sums.try_emplace(segment.speakerId, segment.embedding, 1);
    if (created) continue;
    auto& [sum, count] = entry->second;
    const std::size_t n = std::min(sum.size(), segment.embedding.size());
    for (std::size_t i = 0; i < n; ++i) sum[i] += segment.embedding[i];
    ++count;
  }
  std::map<std::string, std::vector<float>> database;
  for (auto& [speaker, entry] : sums) {
    auto& [sum, count] = entry;
    for (float& value : sum) value /= static_cast<float>(count);
    database.emplace(speaker, std::move(sum));
  }
  return database;
}

}  // namespace tesselaudio
