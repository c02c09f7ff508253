#pragma once

#include <QString>

class QPushButton;

namespace veltovoice {

// The buttons of the shell in the two control sizes and two styles the recording controls use.
// GUI thread only.
namespace ControlStyle {

enum class Size { regular, large };

// A button labelled `text` with the symbol `symbol` (none when empty) at `size`. A prominent one
// is filled with the accent colour, its text and symbol in the background colour; a standard one
// has the palette's bordered look.
QPushButton* button(const QString& text, const QString& symbol, bool prominent, Size size);

// Shows `symbol` on `button`, tinted as its style wants, and keeps the name in its "symbolName"
// property.
void setSymbol(QPushButton* button, const QString& symbol);

}  // namespace ControlStyle
}  // namespace veltovoice
