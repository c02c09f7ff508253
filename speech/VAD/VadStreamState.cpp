#include "speech/VAD/VadStreamState.h"

namespace tesselaudio {

VadStreamState VadStreamState::initial() { return VadStreamState{}; }

}  // namespace tesselaudio
