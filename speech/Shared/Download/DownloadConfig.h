#pragma once

#include <cstdint>

namespace tesselaudio {

// Download settings that the model hub's operations take; engines pass default_(). A value type.
struct DownloadConfig {
  // Time-out of each file request, in seconds: the request fails when no byte moves for this long.
  double timeout = 1800;
  // Fewest bytes a transfer must add per stall window before it is cancelled as stalled.
  std::int64_t minStallBytes = 1'048'576;
  // Length of that window, in seconds; 0 (or minStallBytes 0) turns the stall watchdog off.
  double stallWindow = 120;
  // Most files fetched at once by a subdirectory download (a repository download fetches one).
  std::int64_t maxConcurrentFiles = 4;

  static DownloadConfig default_() { return DownloadConfig{}; }

  bool operator==(const DownloadConfig&) const = default;
};

}  // namespace tesselaudio
