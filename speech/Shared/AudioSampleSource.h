#pragma once

#include <cstdint>

namespace tesselaudio {

// Random access to a recording's mono float samples, at whatever rate the reader expects, without
// holding it as one array: long-audio recognition and offline diarization read windows of it.
// Implementations are immutable after construction; any number of threads may read one at once.
class AudioSampleSource {
 public:
  virtual ~AudioSampleSource() = default;

  // The number of samples the source holds.
  virtual std::int64_t sampleCount() const = 0;

  // Copies up to `count` samples starting at sample `offset` (a negative offset reads from sample
  // 0) into destination[0 ..]: n = min(count, sampleCount() − start) samples, none when `count` < 1
  // or the start lies at or past the end. The rest of the destination is left as it was, so a short
  // read is learnt from sampleCount(), not from the destination. Never fails.
  // REQUIRES: `destination` has room for min(count, sampleCount()) floats.
  virtual void copySamples(float* destination, std::int64_t offset, std::int64_t count) const = 0;

 protected:
  AudioSampleSource() = default;
  AudioSampleSource(const AudioSampleSource&) = default;
  AudioSampleSource& operator=(const AudioSampleSource&) = default;

  // The samples [start, start + n) that a copy of `count` at `offset` takes from `sampleCount`
  // samples; n = 0 when nothing is copied.
  struct Span {
    std::int64_t start = 0;
    std::int64_t n = 0;
  };
  static Span clampedSpan(std::int64_t sampleCount, std::int64_t offset, std::int64_t count);
};

}  // namespace tesselaudio
