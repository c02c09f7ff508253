#pragma once

#include <cstdint>
#include <vector>

#include "platform/sys/Signposter.h"
#include "speech/Shared/AppLogger.h"

namespace tesselaudio {

// Agglomerative clustering of speaker embeddings with centroid linkage on unit-length vectors, cut
// at a distance threshold. Two lone unit vectors join when √(2 − 2·cos) is at most the threshold
// (cosine similarity 0.82 at the default 0.6). A value; calls share nothing, so any number may run
// at once.
//
//   AHCClustering ahc;
//   auto labels = ahc.cluster(trainingEmbeddings, config.clustering.threshold);  // [0, 0, 1, ...]
class AHCClustering {
 public:
  // Logs under "OfflineAHC"; intervals under "tessel-audio.diarization", points of interest.
  AHCClustering();
  AHCClustering(AppLogger logger, platform::Signposter signposter);

  const AppLogger& logger() const { return logger_; }
  const platform::Signposter& signposter() const { return signposter_; }

  // One label per row, numbered by first appearance (row 0 is always in cluster 0). Rows are
  // normalised to unit length, linked, and the dendrogram is cut from the top: a node merged at or
  // below `threshold` becomes one cluster with everything beneath it. Never throws:
  //   - no rows give no labels, rows of no values all zeros, one row [0];
  //   - a threshold that is NaN merges nothing, one outside [0, 2] is clamped (both with a warning);
  //   - a failed linkage (a NaN or infinite value makes it fail) or rows of unequal length log an
  //     error and give every row its own cluster.
  std::vector<std::int64_t> cluster(const std::vector<std::vector<double>>& embeddingFeatures,
                                    double threshold) const;

 private:
  AppLogger logger_;
  platform::Signposter signposter_;
};

}  // namespace tesselaudio
