#include "speech/Shared/AudioSampleSource.h"

#include <algorithm>

namespace tesselaudio {

AudioSampleSource::Span AudioSampleSource::clampedSpan(std::int64_t sampleCount, std::int64_t offset,
                                                       std::int64_t count) {
  if (count < 1 || sampleCount <= 0) return {};
  const std::int64_t start = std::max<std::int64_t>(offset, 0);
  if (start >= sampleCount) return {};
  return {start, std::min(count, sampleCount - start)};
}

}  // namespace tesselaudio
