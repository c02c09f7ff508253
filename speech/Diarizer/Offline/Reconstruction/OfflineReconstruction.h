#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "speech/Diarizer/Core/TimedSpeakerSegment.h"
#include "speech/Diarizer/Offline/Core/OfflineDiarizerConfig.h"
#include "speech/Diarizer/Offline/Core/SegmentationOutput.h"
#include "speech/Shared/AppLogger.h"

namespace tesselaudio {

// Turns the per-window results of the offline pipeline into the speaker segments of the whole
// recording: every window's frames land on one global frame grid, each frame gets a speaker count
// and the clusters that voted most for it, runs of frames no cluster claimed may be embedded again,
// and the frame decisions become merged, filtered segments. Cluster c is speaker "S" + (c + 1).
// A value without shared state; safe from any thread.
//
//   OfflineReconstruction reconstruction{config};
//   auto segments = reconstruction.buildSegments(segmentation, hardClusters, centroids,
//                                                [&](double start, double end) { ... });
//   auto speakers = reconstruction.buildSpeakerDatabase(segments);
struct OfflineReconstruction {
  // Embeds the audio of [startSeconds, endSeconds); none when it cannot.
  using SpanEmbedder = std::function<std::optional<std::vector<float>>(double startSeconds, double endSeconds)>;

  OfflineDiarizerConfig config;
  AppLogger logger = AppLogger("OfflineReconstruction");

  // The segments of the recording, sorted by start, end, then speaker id. `hardClusters` gives per
  // window and local speaker the cluster index (negative for none; a window beyond the list has
  // none); `centroids` are the K cluster centres, whose single-precision copy each segment carries.
  // When zero-vote re-embedding is enabled and `spanEmbedder` is set, it is called once per run of
  // unclaimed frames, synchronously, and its exceptions pass through. Logs the speaker-count
  // histogram at debug level and each re-embedding. Empty when there is no window, no frame per
  // window or no positive frame duration; windows at a non-finite offset are left out. Never
  // throws otherwise.
  std::vector<TimedSpeakerSegment> buildSegments(const SegmentationOutput& segmentation,
                                                 const std::vector<std::vector<std::int64_t>>& hardClusters,
                                                 const std::vector<std::vector<double>>& centroids,
                                                 const SpanEmbedder& spanEmbedder = {}) const;

  // Each speaker's mean segment embedding (segments of one speaker whose embeddings differ in
  // length add over the first one's length).
  std::map<std::string, std::vector<float>> buildSpeakerDatabase(const std::vector<TimedSpeakerSegment>& segments) const;

 private:
  struct FrameGrid;

  FrameGrid castVotes(const SegmentationOutput& segmentation,
                      const std::vector<std::vector<std::int64_t>>& hardClusters, std::size_t clusterSlots) const;
  void countSpeakers(FrameGrid& grid, std::int64_t localSpeakers) const;
  void chooseFrameClusters(FrameGrid& grid) const;
  void applyZeroVoteReembed(FrameGrid& grid, const std::vector<std::vector<double>>& centroids,
                            const SpanEmbedder& spanEmbedder) const;
  std::vector<TimedSpeakerSegment> cutSegments(const FrameGrid& grid,
                                               const std::vector<std::vector<double>>& centroids) const;
  std::vector<TimedSpeakerSegment> mergeSegments(std::vector<TimedSpeakerSegment> segments,
                                                 double gapThreshold) const;
  std::vector<TimedSpeakerSegment> sanitize(std::vector<TimedSpeakerSegment> segments) const;
  std::vector<TimedSpeakerSegment> excludeOverlaps(const std::vector<TimedSpeakerSegment>& segments) const;
};

}  // namespace tesselaudio
