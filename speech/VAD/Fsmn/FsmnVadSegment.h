#pragma once

namespace tesselaudio {

// One speech span found by the FSMN detector, in milliseconds from the start of the audio (both
// multiples of 10). A value.
struct FsmnVadSegment {
  int startMs = 0;
  int endMs = 0;

  bool operator==(const FsmnVadSegment&) const = default;
};

}  // namespace tesselaudio
