#include "speech/Diarizer/Core/DiarizerConfig.h"

namespace tesselaudio {

DiarizerConfig DiarizerConfig::default_() {
  static const DiarizerConfig preset{};
  return preset;
}

}  // namespace tesselaudio
