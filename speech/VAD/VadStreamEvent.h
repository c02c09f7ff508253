#pragma once

#include <cstdint>
#include <optional>

namespace tesselaudio {

// A change between silence and speech found by the streaming detector. A value.
struct VadStreamEvent {
  enum class Kind { speechStart, speechEnd };

  Kind kind = Kind::speechStart;
  // Absolute sample position in the stream (0 is the first sample ever fed).
  std::int64_t sampleIndex = 0;
  // The same position in seconds, rounded as the caller asked; absent unless seconds were asked for.
  std::optional<double> time;

  bool isStart() const { return kind == Kind::speechStart; }
  bool isEnd() const { return kind == Kind::speechEnd; }

  bool operator==(const VadStreamEvent&) const = default;
};

}  // namespace tesselaudio
