#include "speech/Diarizer/Offline/Utils/VDSPOperations.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "platform/dsp/VectorOps.h"

namespace tesselaudio::VDSPOperations {
namespace {

constexpr float kNormFloor = 1e-12f;

}  // namespace

std::vector<float> l2Normalize(std::span<const float> vector) {
  std::vector<float> result(vector.begin(), vector.end());
  if (result.empty()) return result;
  const float norm = std::sqrt(platform::dsp::dot(vector, vector));
  const float scale = 1.0f / std::max(norm, kNormFloor);
  for (float& value : result) value *= scale;
  return result;
}

float logSumExp(std::span<const float> vector) {
  if (vector.empty()) return -std::numeric_limits<float>::infinity();
  float largest = vector.front();
  for (float value : vector) {
    if (value > largest) largest = value;
  }
  float sum = 0;
  for (float value : vector) sum += std::exp(value - largest);
  return largest + std::log(sum);
}

}  // namespace tesselaudio::VDSPOperations
