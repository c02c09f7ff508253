#pragma once

#include <array>
#include <optional>

#include <QColor>

namespace veltovoice {

// The colours of speaker slots: four colours repeating over the slots. Made once on first use;
// safe to read from any thread.
namespace SpeakerPalette {

// Accent green, light blue, amber and pink, opaque sRGB.
const std::array<QColor, 4>& colors();

// VeltoToolsDesign::muted() without a slot; otherwise colors()[slot modulo 4], the modulo taken
// positive so that a negative slot still gets one of the four colours.
QColor color(std::optional<int> slot);

}  // namespace SpeakerPalette
}  // namespace veltovoice
