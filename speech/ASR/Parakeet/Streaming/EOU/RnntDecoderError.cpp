#include "speech/ASR/Parakeet/Streaming/EOU/RnntDecoderError.h"

#include <utility>

namespace tesselaudio {

RnntDecoderError::RnntDecoderError(Case errorCase, std::string description, std::string outputName)
    : platform::Error("RnntDecoderError", kDomain, static_cast<int>(errorCase), std::move(description)),
      outputName_(std::move(outputName)) {}

RnntDecoderError RnntDecoderError::missingOutput(const std::string& name) {
  return RnntDecoderError(Case::missingOutput, "RNNT decoder missing expected output: " + name, name);
}

}  // namespace tesselaudio
