#include "speech/VAD/VadState.h"

namespace tesselaudio {

VadState VadState::initial() {
  return VadState{std::vector<float>(128, 0.0f), std::vector<float>(128, 0.0f),
                  std::vector<float>(contextLength, 0.0f)};
}

}  // namespace tesselaudio
