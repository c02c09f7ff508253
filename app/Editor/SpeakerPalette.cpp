#include "app/Editor/SpeakerPalette.h"

#include "app/Editor/VeltoToolsDesign.h"

namespace veltovoice::SpeakerPalette {

const std::array<QColor, 4>& colors() {
  static const std::array<QColor, 4> table = {
      VeltoToolsDesign::accent(),
      QColor::fromRgbF(0.55f, 0.78f, 0.98f, 1.0f),
      QColor::fromRgbF(0.98f, 0.80f, 0.45f, 1.0f),
      QColor::fromRgbF(0.96f, 0.62f, 0.78f, 1.0f),
  };
  return table;
}

QColor color(std::optional<int> slot) {
  if (!slot) return VeltoToolsDesign::muted();
  const int size = static_cast<int>(colors().size());
  return colors()[static_cast<std::size_t>(((*slot % size) + size) % size)];
}

}  // namespace veltovoice::SpeakerPalette
