#include "speech/Diarizer/Diarizer.h"

namespace tesselaudio {

Diarizer::~Diarizer() = default;

}  // namespace tesselaudio
