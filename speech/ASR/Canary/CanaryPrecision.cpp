#include "speech/ASR/Canary/CanaryPrecision.h"

#include <array>

namespace tesselaudio {
namespace {

constexpr std::array<CanaryPrecision, 3> kAllCases = {CanaryPrecision::int4, CanaryPrecision::fp16,
                                                      CanaryPrecision::int8};

}  // namespace

std::optional<CanaryPrecision> CanaryPrecision::fromRawValue(std::string_view rawValue) {
  for (auto precision : kAllCases) {
    if (precision.rawValue() == rawValue) return precision;
  }
  return std::nullopt;
}

std::span<const CanaryPrecision> CanaryPrecision::allCases() { return kAllCases; }

std::string_view CanaryPrecision::rawValue() const {
  switch (value_) {
    case int4:
      return "int4";
    case fp16:
      return "fp16";
    case int8:
      return "int8";
  }
  return {};
}

}  // namespace tesselaudio
