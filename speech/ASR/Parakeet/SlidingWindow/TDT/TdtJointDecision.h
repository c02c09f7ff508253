#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace tesselaudio {

// What the joint network decided for one encoder frame. A value.
struct TdtJointDecision {
  int64_t token = 0;
  float probability = 0;
  // Index into the decoder's duration bins.
  int64_t durationBin = 0;
  // The joint's best candidates, present only when asked for and produced; equal lengths.
  std::optional<std::vector<int64_t>> topKIds;
  std::optional<std::vector<float>> topKLogits;
};

}  // namespace tesselaudio
