#pragma once

#include <cstdint>

namespace tesselaudio {

// One stretch of speech of one model speaker slot (0-based), in seconds. A plain value.
struct Nemotron3Segment {
  std::int64_t speakerIndex = 0;
  float startSeconds = 0;
  float endSeconds = 0;

  bool operator==(const Nemotron3Segment&) const = default;
};

}  // namespace tesselaudio
