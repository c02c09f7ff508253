#include "speech/VAD/VadSegment.h"

#include <cmath>
#include <limits>

namespace tesselaudio {

std::int64_t VadSegment::startSample(int sampleRate) const { return detail::truncatedSamples(startTime, sampleRate); }

std::int64_t VadSegment::endSample(int sampleRate) const { return detail::truncatedSamples(endTime, sampleRate); }

std::int64_t VadSegment::sampleCount(int sampleRate) const {
  return detail::saturatingSub(endSample(sampleRate), startSample(sampleRate));
}

namespace detail {

std::int64_t truncatedSamples(double seconds, double sampleRate) {
  const double samples = seconds * sampleRate;
  if (std::isnan(samples)) return 0;
  // 2^63 is exactly representable; anything at or past it would overflow the conversion.
  constexpr double kLimit = 9223372036854775808.0;
  if (samples >= kLimit) return std::numeric_limits<std::int64_t>::max();
  if (samples <= -kLimit) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(samples);
}

std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) {
  std::int64_t sum = 0;
  if (!__builtin_add_overflow(a, b, &sum)) return sum;
  return b > 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
}

std::int64_t saturatingSub(std::int64_t a, std::int64_t b) {
  std::int64_t difference = 0;
  if (!__builtin_sub_overflow(a, b, &difference)) return difference;
  return b < 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
}

}  // namespace detail
}  // namespace tesselaudio
