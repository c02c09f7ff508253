#pragma once

#include <cstdint>

namespace tesselaudio {

// A run of elements found in two sequences: where it starts in the first (previous, left) and the
// second (current, right), and how many elements it holds. A value.
struct SequenceMatch {
  int64_t leftStartIndex = 0;
  int64_t rightStartIndex = 0;
  int64_t length = 0;

  bool operator==(const SequenceMatch&) const = default;
};

}  // namespace tesselaudio
