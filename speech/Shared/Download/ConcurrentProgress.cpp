#include "speech/Shared/Download/ConcurrentProgress.h"

#include <algorithm>
#include <utility>

namespace tesselaudio {

ConcurrentProgress::ConcurrentProgress(ProgressReporter reporter, std::int64_t totalBytes,
                                       std::int64_t totalFiles)
    : reporter_(std::move(reporter)), totalBytes_(totalBytes), totalFiles_(totalFiles) {}

ByteProgressCallback ConcurrentProgress::liveBytesCallback(std::int64_t fileIndex) {
  if (!reporter_.handler) return {};
  return [this, fileIndex](std::int64_t bytes, std::int64_t) {
    if (totalBytes_ <= 0) return;
    std::scoped_lock lock(mutex_);
    state_.inFlightBytes[fileIndex] = bytes;
    emitLocked(state_.completedFiles);
  };
}

std::int64_t ConcurrentProgress::fileCompleted(std::int64_t fileIndex, std::int64_t size) {
  std::scoped_lock lock(mutex_);
  state_.inFlightBytes.erase(fileIndex);
  state_.completedBytes += std::max<std::int64_t>(size, 0);
  state_.completedFiles += 1;
  emitLocked(state_.completedFiles);
  return state_.completedFiles;
}

void ConcurrentProgress::emitLocked(std::int64_t phaseFiles) {
  std::int64_t inFlight = 0;
  for (const auto& [index, bytes] : state_.inFlightBytes) inFlight += bytes;
  const double value = std::max(
      state_.maxFraction,
      ProgressReporter::fraction(reporter_.downloadPhaseWeight, totalBytes_, totalFiles_,
                                 state_.completedBytes + inFlight, phaseFiles));
  state_.maxFraction = value;
  if (reporter_.handler) {
    reporter_.handler(DownloadProgress{value, DownloadPhase::downloading(phaseFiles, totalFiles_)});
  }
}

}  // namespace tesselaudio
