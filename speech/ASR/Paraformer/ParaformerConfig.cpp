#include "speech/ASR/Paraformer/ParaformerConfig.h"

#include "speech/Shared/ModelNames.h"

namespace tesselaudio {

int ParaformerConfig::pickEncoderBucket(int forFrames) {
  for (const int bucket : encoderBuckets) {
    if (bucket >= forFrames) return bucket;
  }
  return encoderBuckets.back();
}

std::optional<ParaformerPrecision> ParaformerPrecision::fromRawValue(std::string_view rawValue) {
  for (const ParaformerPrecision precision : {ParaformerPrecision(fp16), ParaformerPrecision(int8)}) {
    if (precision.rawValue() == rawValue) return precision;
  }
  return std::nullopt;
}

std::string_view ParaformerPrecision::rawValue() const { return value_ == int8 ? "int8" : "fp16"; }

std::string_view ParaformerPrecision::encoderName() const {
  return value_ == int8 ? ModelNames::ParaformerZh::encoderInt8 : ModelNames::ParaformerZh::encoder;
}

std::string_view ParaformerPrecision::decoderName() const {
  return value_ == int8 ? ModelNames::ParaformerZh::decoderInt8 : ModelNames::ParaformerZh::decoder;
}

}  // namespace tesselaudio
