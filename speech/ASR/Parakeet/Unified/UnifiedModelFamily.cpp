#include "speech/ASR/Parakeet/Unified/UnifiedModelFamily.h"

namespace tesselaudio {

UnifiedModelFamily UnifiedModelFamily::nemotronMultilingual(NemotronUnifiedLanguage language) {
  return UnifiedModelFamily(Kind::nemotronMultilingual, language);
}

UnifiedModelFamily UnifiedModelFamily::parakeetEnglish() {
  return UnifiedModelFamily(Kind::parakeetEnglish, NemotronUnifiedLanguage::auto_);
}

std::string UnifiedModelFamily::filePrefix() const {
  return kind_ == Kind::parakeetEnglish ? "parakeet_unified" : "nemotron_unified";
}

std::string UnifiedModelFamily::offlineEncoderFile(UnifiedEncoderPrecision precision) const {
  return filePrefix() +
         (precision == UnifiedEncoderPrecision::int8 ? "_encoder_int8.mlmodelc" : "_encoder.mlmodelc");
}

}  // namespace tesselaudio
