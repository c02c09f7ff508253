#include "speech/ASR/Parakeet/SlidingWindow/CustomVocabulary/WordSpotting/CtcModelVariant.h"

namespace tesselaudio {

std::optional<CtcModelVariant> CtcModelVariant::fromRawValue(std::string_view rawValue) {
  if (rawValue == "ctc110m") return ctc110m;
  if (rawValue == "ctc06b") return ctc06b;
  return std::nullopt;
}

std::string_view CtcModelVariant::rawValue() const { return value_ == ctc110m ? "ctc110m" : "ctc06b"; }

std::string_view CtcModelVariant::displayName() const {
  return value_ == ctc110m ? "Parakeet CTC 110M (hybrid)" : "Parakeet CTC 0.6B (pure)";
}

Repo CtcModelVariant::repo() const { return value_ == ctc110m ? Repo::parakeetCtc110m : Repo::parakeetCtc06b; }

}  // namespace tesselaudio
