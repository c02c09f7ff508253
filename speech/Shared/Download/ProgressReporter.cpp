#include "speech/Shared/Download/ProgressReporter.h"

#include <algorithm>
#include <cassert>

namespace tesselaudio {

double ProgressReporter::fraction(double weight, std::int64_t totalBytes, std::int64_t totalFiles,
                                  std::int64_t bytes, std::int64_t files) {
  double raw = 1.0;
  if (totalFiles >= 1) {
    raw = totalBytes < 1 ? static_cast<double>(files) / static_cast<double>(totalFiles)
                         : static_cast<double>(bytes) / static_cast<double>(totalBytes);
  }
  return weight * std::min(raw, 1.0);
}

ByteProgressCallback ProgressReporter::liveBytesCallback(std::int64_t baseBytes,
                                                         std::int64_t totalBytes,
                                                         std::int64_t fileIndex,
                                                         std::int64_t totalFiles) const {
  assert(handler);
  return [handler = handler, weight = downloadPhaseWeight, baseBytes, totalBytes, fileIndex,
          totalFiles](std::int64_t bytes, std::int64_t) {
    if (totalBytes < 1) return;
    const double value = fraction(weight, totalBytes, totalFiles, baseBytes + bytes, 0);
    handler(DownloadProgress{value, DownloadPhase::downloading(fileIndex, totalFiles)});
  };
}

}  // namespace tesselaudio
