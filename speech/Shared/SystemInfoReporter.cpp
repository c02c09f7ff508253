#include "speech/Shared/SystemInfoReporter.h"

#include <string>

#include "speech/Shared/AppLogger.h"
#include "speech/Shared/SystemInfo.h"

namespace tesselaudio {

SystemInfoReporter& SystemInfoReporter::shared() {
  static SystemInfoReporter* instance = new SystemInfoReporter;
  return *instance;
}

void SystemInfoReporter::logIfNeeded(const AppLogger& logger) {
  {
    std::scoped_lock lock(mutex_);
    if (didLog_) return;
    // Set before the line is built, so a caller arriving meanwhile does not log it again.
    didLog_ = true;
  }
  logger.info("Host environment: " + SystemInfo::summary());
}

}  // namespace tesselaudio
