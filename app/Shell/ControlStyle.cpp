#include "app/Shell/ControlStyle.h"

#include <QPushButton>

#include "app/Editor/Symbols.h"
#include "app/Editor/VeltoToolsDesign.h"

namespace veltovoice::ControlStyle {
namespace {

constexpr int kLargeHeight = 32;
constexpr int kRegularHeight = 24;
constexpr int kIconSize = 14;

QString prominentSheet() {
  const QString fill = VeltoToolsDesign::accent().name();
  const QString pressed = VeltoToolsDesign::accent().darker(115).name();
  const QString text = VeltoToolsDesign::background().name();
  return QStringLiteral(
             "QPushButton { background: %1; color: %2; border: none; border-radius: 6px;"
             " padding: 0 12px; }"
             "QPushButton:pressed { background: %3; }"
             "QPushButton:disabled { background: %4; }")
      .arg(fill, text, pressed, VeltoToolsDesign::overBackground(VeltoToolsDesign::muted()).name());
}

}  // namespace

QPushButton* button(const QString& text, const QString& symbol, bool prominent, Size size) {
  auto* made = new QPushButton(text);
  made->setProperty("prominent", prominent);
  made->setIconSize(QSize(kIconSize, kIconSize));
  made->setMinimumHeight(size == Size::large ? kLargeHeight : kRegularHeight);
  if (prominent) made->setStyleSheet(prominentSheet());
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
