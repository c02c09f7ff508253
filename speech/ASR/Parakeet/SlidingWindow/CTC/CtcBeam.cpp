#include "speech/ASR/Parakeet/SlidingWindow/CTC/CtcBeam.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tesselaudio {

float logAddExp(float a, float b) {
  constexpr float kNegativeInfinity = -std::numeric_limits<float>::infinity();
  if (a == kNegativeInfinity) return b;
  if (b == kNegativeInfinity) return a;
  const float m = std::max(a, b);
  return m + std::log(std::exp(a - m) + std::exp(b - m));
}

std::optional<int> CtcBeam::lastToken() const {
  if (prefix.empty()) return std::nullopt;
  return prefix.back();
}

}  // namespace tesselaudio
