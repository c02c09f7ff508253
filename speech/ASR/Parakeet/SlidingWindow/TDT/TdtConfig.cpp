#include "speech/ASR/Parakeet/SlidingWindow/TDT/TdtConfig.h"

namespace tesselaudio {

const TdtConfig& TdtConfig::default_() {
  static const TdtConfig preset;
  return preset;
}

}  // namespace tesselaudio
