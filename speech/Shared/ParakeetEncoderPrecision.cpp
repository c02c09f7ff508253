#include "speech/Shared/ParakeetEncoderPrecision.h"

#include <array>

#include "speech/Shared/ModelNames.h"

namespace tesselaudio {
namespace {

constexpr std::array<ParakeetEncoderPrecision, 3> kAllCases = {
    ParakeetEncoderPrecision::int8, ParakeetEncoderPrecision::int8V2,
    ParakeetEncoderPrecision::int4};

}  // namespace

std::optional<ParakeetEncoderPrecision> ParakeetEncoderPrecision::fromRawValue(
    std::string_view rawValue) {
  for (auto precision : kAllCases) {
    if (precision.rawValue() == rawValue) return precision;
  }
  return std::nullopt;
}

std::span<const ParakeetEncoderPrecision> ParakeetEncoderPrecision::allCases() {
  return kAllCases;
}

std::string_view ParakeetEncoderPrecision::rawValue() const {
  switch (value_) {
    case int8:
      return "int8";
    case int8V2:
      return "int8-v2";
    case int4:
      return "int4";
  }
  return {};
}

std::string_view ParakeetEncoderPrecision::encoderFileName() const {
  switch (value_) {
    case int8:
      return ModelNames::ASR::encoderFile;
    case int8V2:
      return ModelNames::ASR::encoderV2File;
    case int4:
      return ModelNames::ASR::encoderInt4File;
  }
  return {};
}

}  // namespace tesselaudio
