#pragma once

#include <QColor>
#include <QIcon>
#include <QString>
#include <QStringList>

namespace veltovoice {

// The application's own icon set: one SVG drawing per symbol name ("play.fill", "gobackward.15",
// ...), kept in the Qt resource ":/symbols". Icons are drawn as single-colour shapes tinted at paint
// time, so they follow the palette and grey out with their widget. GUI thread only.
namespace Symbols {

// Every symbol name of the set.
QStringList names();

// The icon for symbol `name`, tinted with the palette's button text (muted when disabled), or with
// `color` when one is given. An unknown name gives a null icon.
QIcon icon(const QString& name, const QColor& color = QColor());

}  // namespace Symbols
}  // namespace veltovoice
