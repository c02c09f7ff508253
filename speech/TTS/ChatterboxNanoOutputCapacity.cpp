#include "speech/TTS/ChatterboxNanoOutputCapacity.h"

#include <array>

namespace tesselaudio {
namespace {

constexpr std::array<ChatterboxNanoOutputCapacity, 2> kAllCases = {
    ChatterboxNanoOutputCapacity::standard, ChatterboxNanoOutputCapacity::extended};

}  // namespace

std::optional<ChatterboxNanoOutputCapacity> ChatterboxNanoOutputCapacity::fromRawValue(
    std::string_view rawValue) {
  for (auto capacity : kAllCases) {
    if (capacity.rawValue() == rawValue) return capacity;
  }
  return std::nullopt;
}

std::span<const ChatterboxNanoOutputCapacity> ChatterboxNanoOutputCapacity::allCases() {
  return kAllCases;
}

std::string_view ChatterboxNanoOutputCapacity::rawValue() const {
  return value_ == standard ? "standard" : "extended";
}

int ChatterboxNanoOutputCapacity::flowTokenBucket() const { return value_ == standard ? 500 : 1000; }

int ChatterboxNanoOutputCapacity::melFrameBucket() const { return value_ == standard ? 1000 : 2000; }

}  // namespace tesselaudio
