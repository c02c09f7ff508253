#include "speech/Shared/ArrayAudioSampleSource.h"

#include <cstring>

namespace tesselaudio {

void ArrayAudioSampleSource::copySamples(float* destination, std::int64_t offset,
                                         std::int64_t count) const {
  const Span span = clampedSpan(sampleCount(), offset, count);
  if (span.n == 0) return;
  // memmove: the caller may hand a destination inside the source's own storage.
  std::memmove(destination, samples_.data() + span.start, sizeof(float) * static_cast<std::size_t>(span.n));
}

}  // namespace tesselaudio
