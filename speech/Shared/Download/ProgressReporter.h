#pragma once

#include <cstdint>

#include "speech/Shared/Download/DownloadProgress.h"

namespace tesselaudio {

// A progress handler plus the share of the overall fraction that the download phase covers (0.5
// when loading follows, 1.0 otherwise), for downloads that fetch one file at a time. Stateless.
struct ProgressReporter {
  ProgressHandler handler;
  double downloadPhaseWeight = 1.0;

  // The fraction of a call from its counts: 1 without files, files done / files without sizes,
  // bytes / total bytes otherwise; capped at 1 and scaled by `weight`.
  static double fraction(double weight, std::int64_t totalBytes, std::int64_t totalFiles,
                         std::int64_t bytes, std::int64_t files);

  // A byte callback for the file at `fileIndex` that reports weight × (baseBytes + bytes) /
  // totalBytes as the downloading phase (completedFiles = fileIndex); it reports nothing when
  // totalBytes < 1. No monotonic guard.
  // REQUIRES: handler is set.
  ByteProgressCallback liveBytesCallback(std::int64_t baseBytes, std::int64_t totalBytes,
                                         std::int64_t fileIndex, std::int64_t totalFiles) const;
};

}  // namespace tesselaudio
