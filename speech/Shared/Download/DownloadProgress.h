#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace tesselaudio {

// What a download is doing: fetching files, compiling (loading) a model, or listing the
// repository. A value type.
struct DownloadPhase {
  enum class Kind { downloading, compiling, listing };

  Kind kind = Kind::listing;
  // downloading: files finished (for live byte reports, the index of the file in flight) and total.
  std::int64_t completedFiles = 0;
  std::int64_t totalFiles = 0;
  // compiling: the model's name.
  std::string modelName;

  static DownloadPhase downloading(std::int64_t completedFiles, std::int64_t totalFiles) {
    return DownloadPhase{Kind::downloading, completedFiles, totalFiles, {}};
  }
  static DownloadPhase compiling(std::string modelName) {
    return DownloadPhase{Kind::compiling, 0, 0, std::move(modelName)};
  }
  static DownloadPhase listing() { return DownloadPhase{}; }

  bool operator==(const DownloadPhase&) const = default;
};

// The progress value every model loader's progress handler receives. A value type.
struct DownloadProgress {
  double fractionCompleted = 0;  // 0 to 1
  DownloadPhase phase;

  bool operator==(const DownloadProgress&) const = default;
};

// Receives progress; may be called from any thread, must be short and must not block.
using ProgressHandler = std::function<void(const DownloadProgress&)>;

// The file downloader's byte callback: (bytes written so far to the file, resumed bytes included;
// the file's expected total, -1 when unknown).
using ByteProgressCallback = std::function<void(std::int64_t written, std::int64_t total)>;

}  // namespace tesselaudio
