#include "speech/TTS/PocketTtsModelPlacement.h"

namespace tesselaudio {

std::optional<PocketTtsModelPlacement> PocketTtsModelPlacement::fromRawValue(
    std::string_view rawValue) {
  for (PocketTtsModelPlacement placement : {gpu, ane, aneState}) {
    if (placement.rawValue() == rawValue) return placement;
  }
  return std::nullopt;
}

std::string_view PocketTtsModelPlacement::rawValue() const {
  switch (value_) {
    case gpu:
      return "gpu";
    case ane:
      return "ane";
    case aneState:
      return "ane-state";
  }
  return {};
}

}  // namespace tesselaudio
