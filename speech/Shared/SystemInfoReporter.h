#pragma once

#include <mutex>

namespace tesselaudio {

class AppLogger;

// Writes the host line at most once per process, however many engines load models at once.
// Safe from any thread; callers take turns.
class SystemInfoReporter {
 public:
  // The one instance of the process, made on first use.
  static SystemInfoReporter& shared();

  // The first call writes "Host environment: " and SystemInfo::summary() at info level through
  // `logger`; every later call does nothing. Never throws.
  void logIfNeeded(const AppLogger& logger);

 private:
  SystemInfoReporter() = default;

  std::mutex mutex_;
  bool didLog_ = false;  // guarded by mutex_
};

}  // namespace tesselaudio
