#include "speech/Diarizer/Offline/Extraction/WeightInterpolation.h"

#include <algorithm>
#include <cassert>
#include <cmath>

namespace tesselaudio::WeightInterpolation {

InterpolationCoefficients::InterpolationCoefficients(std::int64_t inputLength, std::int64_t outputLength)
    : outputLength(outputLength) {
  assert(inputLength > 0 && outputLength > 0);
  const auto size = static_cast<std::size_t>(outputLength);
  lowerIndices.resize(size);
  upperIndices.resize(size);
  lowerWeights.resize(size);
  upperWeights.resize(size);
  const float scale = static_cast<float>(outputLength) / static_cast<float>(inputLength);
  const auto last = static_cast<float>(inputLength - 1);
  for (std::size_t i = 0; i < size; ++i) {
    float p = (static_cast<float>(i) + 0.5f) / scale - 0.5f;
    if (p <= 0) p = 0;
    if (p > last) p = last;
    const auto lo = static_cast<std::int64_t>(std::floor(p));
    const std::int64_t hi = std::min(inputLength - 1, lo + 1);
    const float t = p - static_cast<float>(lo);
    lowerIndices[i] = lo;
    upperIndices[i] = hi;
    lowerWeights[i] = 1.0f - t;
    upperWeights[i] = t;
    maxInputIndex = std::max(maxInputIndex, hi);
  }
}

std::vector<float> InterpolationCoefficients::interpolate(std::span<const float> input) const {
  if (input.empty()) return {};
  assert(static_cast<std::int64_t>(input.size()) > maxInputIndex);
  std::vector<float> output(static_cast<std::size_t>(outputLength));
  for (std::size_t i = 0; i < output.size(); ++i) {
    output[i] = input[static_cast<std::size_t>(lowerIndices[i])] * lowerWeights[i] +
                input[static_cast<std::size_t>(upperIndices[i])] * upperWeights[i];
  }
  return output;
}

}  // namespace tesselaudio::WeightInterpolation
