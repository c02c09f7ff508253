#include "speech/VAD/VadConfig.h"

namespace tesselaudio {

const VadConfig& VadConfig::default_() {
  static const VadConfig value;
  return value;
}

}  // namespace tesselaudio
