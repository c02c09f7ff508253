#pragma once

#include <cstdint>
#include <map>
#include <mutex>

#include "speech/Shared/Download/ProgressReporter.h"

namespace tesselaudio {

// Progress of several files downloading at once, shared by the file tasks of one call. Every
// update and every report happens under one mutex, so the reported fraction never decreases, even
// when a restarted file reports fewer bytes. The handler is called with the mutex held: it must be
// short and must not call back into this object. Safe from any thread.
class ConcurrentProgress {
 public:
  // `totalBytes`: the sum of the listed sizes (negative sizes counted as 0); `totalFiles`: the
  // number of files of the call.
  ConcurrentProgress(ProgressReporter reporter, std::int64_t totalBytes, std::int64_t totalFiles);

  ConcurrentProgress(const ConcurrentProgress&) = delete;
  ConcurrentProgress& operator=(const ConcurrentProgress&) = delete;

  // A byte callback for the file at `fileIndex` that replaces that file's bytes in flight and
  // reports; it does nothing when totalBytes <= 0. Empty when the reporter has no handler. The
  // callback refers to this object, which must outlive it.
  ByteProgressCallback liveBytesCallback(std::int64_t fileIndex);

  // Records that a file finished (downloaded or found present) with its listed `size`, reports,
  // and returns the number of files finished.
  std::int64_t fileCompleted(std::int64_t fileIndex, std::int64_t size);

 private:
  struct Counters {
    std::map<std::int64_t, std::int64_t> inFlightBytes;
    std::int64_t completedBytes = 0;
    std::int64_t completedFiles = 0;
    double maxFraction = 0.0;
  };

  // REQUIRES: mutex_ held.
  void emitLocked(std::int64_t phaseFiles);

  // Constant after construction.
  const ProgressReporter reporter_;
  const std::int64_t totalBytes_;
  const std::int64_t totalFiles_;

  std::mutex mutex_;
  Counters state_;  // guarded by mutex_
};

}  // namespace tesselaudio
