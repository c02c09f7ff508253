#pragma once

#include <string>

#include "speech/ASR/Parakeet/Unified/NemotronUnifiedLanguage.h"
#include "speech/ASR/Parakeet/Unified/UnifiedEncoderPrecision.h"

namespace tesselaudio {

// A family of unified recogniser models: the English Parakeet set, or the multilingual Nemotron
// set with the language its encoder is prompted with. Names the family's model files.
// A plain value; two families are equal when both are English, or both multilingual with the same
// language. Safe from any thread.
class UnifiedModelFamily {
 public:
  static UnifiedModelFamily nemotronMultilingual(NemotronUnifiedLanguage language);
  static UnifiedModelFamily parakeetEnglish();

  // The offline encoder's file: "parakeet_unified" or "nemotron_unified", then
  // "_encoder_int8.mlmodelc" (int8) or "_encoder.mlmodelc" (fp16).
  std::string offlineEncoderFile(UnifiedEncoderPrecision precision) const;

  bool operator==(const UnifiedModelFamily&) const = default;

 private:
  enum class Kind { nemotronMultilingual, parakeetEnglish };

  UnifiedModelFamily(Kind kind, NemotronUnifiedLanguage language)
      : kind_(kind), language_(language) {}

  std::string filePrefix() const;

  Kind kind_;
  // Always auto_ for the English family, so that equality ignores it there.
  NemotronUnifiedLanguage language_;
};

}  // namespace tesselaudio
