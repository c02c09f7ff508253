#pragma once

#include <QColor>
#include <QFont>
#include <QPalette>
#include <QString>

class QApplication;

namespace veltovoice {

// The shared colours of the dark interface and the address of the maker's web page. Each value is
// made once, on first use; safe to read from any thread.
namespace VeltoToolsDesign {

// Light green: everything active or highlighted (selections, carets, links, the first speaker).
const QColor& accent();
// Near black: window and panel backgrounds.
const QColor& background();
// White at 4.5 %: raised areas laid on the background.
const QColor& surface();
// Opaque white: primary text where a view sets one.
const QColor& primary();
// White at 48 %: secondary text and symbols, and the colour of "no speaker".
const QColor& muted();
// White at 8 %: separator lines.
const QColor& divider();
// The maker's web page, opened by the footer's link.
const QString& website();

// `color` laid over `background()`, as an opaque colour: what a translucent colour looks like on
// the window, for places (palette roles, text) that do not blend.
QColor overBackground(const QColor& color);

// `color` with its alpha multiplied by `opacity` (0 to 1).
QColor withOpacity(QColor color, double opacity);

// The dark palette of the application: window and text from background() and primary(); bases,
// buttons and tool tips in surface(), placeholders and disabled text in muted(), lines in
// divider(), highlights and links in accent(); translucent colours already laid over background().
QPalette palette();

// A font of fixed-width digits at `pixelSize`, for times that must not jitter while they count.
QFont monospacedDigitFont(int pixelSize);

// The interface font (the application's font, which applyTo() sets) at `pixelSize` and `weight`.
// GUI thread only.
QFont systemFont(int pixelSize, QFont::Weight weight = QFont::Normal);

// Gives `app` the Fusion style, palette() and the CJK interface font. GUI thread only, once at
// start-up (tests call it too, so that text sizes do not depend on the machine's default font).
void applyTo(QApplication& app);

}  // namespace VeltoToolsDesign
}  // namespace veltovoice
