#pragma once

#include <vector>

namespace tesselaudio {

// The detector's recurrent state carried from one chunk to the next. A value.
struct VadState {
  // Context samples put before each chunk.
  static constexpr int contextLength = 64;

  // The model's hidden state after the last chunk (128 values).
  std::vector<float> hiddenState;
  // The model's cell state after the last chunk (128 values).
  std::vector<float> cellState;
  // The last contextLength samples of the last chunk.
  std::vector<float> context;

  // 128, 128 and 64 zeros: the state before the first chunk of any stream or recording.
  static VadState initial();

  bool operator==(const VadState&) const = default;
};

}  // namespace tesselaudio
