#include "speech/ASR/SenseVoice/SenseVoiceConfig.h"

#include "speech/Shared/ModelNames.h"

namespace tesselaudio {

int SenseVoiceConfig::pickBucket(int forFrames) {
  for (const int bucket : buckets) {
    if (bucket >= forFrames) return bucket;
  }
  return maxFrames;
}

std::optional<SenseVoiceEncoderPrecision> SenseVoiceEncoderPrecision::fromRawValue(std::string_view rawValue) {
  for (const SenseVoiceEncoderPrecision precision : {SenseVoiceEncoderPrecision(fp16), SenseVoiceEncoderPrecision(int8),
                                                     SenseVoiceEncoderPrecision(fp32)}) {
    if (precision.rawValue() == rawValue) return precision;
  }
  return std::nullopt;
}

std::string_view SenseVoiceEncoderPrecision::rawValue() const {
  switch (value_) {
    case int8:
      return "int8";
    case fp32:
      return "fp32";
    case fp16:
      break;
  }
  return "fp16";
}

std::string_view SenseVoiceEncoderPrecision::encoderName() const {
  switch (value_) {
    case int8:
      return ModelNames::SenseVoice::encoderInt8;
    case fp32:
      return ModelNames::SenseVoice::encoderFp32;
    case fp16:
      break;
  }
  return ModelNames::SenseVoice::encoder;
}

}  // namespace tesselaudio
