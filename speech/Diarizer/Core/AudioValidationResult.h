#pragma once

#include <string>
#include <vector>

namespace tesselaudio {

// The outcome of checking a stretch of audio before diarizing it. A plain value.
struct AudioValidationResult {
  // True exactly when issues is empty.
  bool isValid = false;
  float durationSeconds = 0;
  // Readable texts, in the order the checks ran.
  std::vector<std::string> issues;

  bool operator==(const AudioValidationResult&) const = default;
};

}  // namespace tesselaudio
