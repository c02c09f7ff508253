#pragma once

#include <cstdint>

namespace tesselaudio {

// One span of speech in seconds from the start of the audio. A value.
struct VadSegment {
  double startTime = 0;
  double endTime = 0;

  double duration() const { return endTime - startTime; }
  // startTime × sampleRate, truncated toward zero.
  std::int64_t startSample(int sampleRate) const;
  // endTime × sampleRate, truncated toward zero.
  std::int64_t endSample(int sampleRate) const;
  // endSample − startSample, each truncated on its own.
  std::int64_t sampleCount(int sampleRate) const;

  bool operator==(const VadSegment&) const = default;
};

namespace detail {

// seconds × sampleRate truncated toward zero; saturates at the 64-bit limits, NaN gives 0.
std::int64_t truncatedSamples(double seconds, double sampleRate);

// a + b and a − b held at the 64-bit limits instead of overflowing (durations may be huge).
std::int64_t saturatingAdd(std::int64_t a, std::int64_t b);
std::int64_t saturatingSub(std::int64_t a, std::int64_t b);

}  // namespace detail
}  // namespace tesselaudio
