#include "app/Shell/ControlStyle.h"

#include <QPushButton>

#include "app/Editor/Symbols.h"
#include "app/Editor/VeltoToolsDesign.h"

namespace veltovoice::ControlStyle {
namespace {

constexpr int kLargeHeight = 32;
constexpr int kRegularHeight = 24;
constexpr int kIconSize = 14;

// The accent as the button's face and the background as its text: the style draws the rest, so
// the button keeps the fonts and sizes of the widgets around it (a style sheet would not).
void makeProminent(QPushButton* button) {
  QPalette palette = button->palette();
  for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
    palette.setColor(group, QPalette::Button, VeltoToolsDesign::accent());
    palette.setColor(group, QPalette::ButtonText, VeltoToolsDesign::background());
  }
  button->setPalette(palette);
}

}  // namespace

QPushButton* button(const QString& text, const QString& symbol, bool prominent, Size size) {
  auto* made = new QPushButton(text);
  made->setProperty("prominent", prominent);
  made->setIconSize(QSize(kIconSize, kIconSize));
  made->setMinimumHeight(size == Size::large ? kLargeHeight : kRegularHeight);
  if (prominent) makeProminent(made);
  setSymbol(made, symbol);
  return made;
}

void setSymbol(QPushButton* button, const QString& symbol) {
  button->setProperty("symbolName", symbol);
  if (symbol.isEmpty()) {
    button->setIcon(QIcon());
    return;
  }
  const bool prominent = button->property("prominent").toBool();
  button->setIcon(prominent ? Symbols::icon(symbol, VeltoToolsDesign::background())
                            : Symbols::icon(symbol));
}

}  // namespace veltovoice::ControlStyle
