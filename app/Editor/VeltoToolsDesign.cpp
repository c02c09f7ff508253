#include "app/Editor/VeltoToolsDesign.h"

#include <QApplication>
#include <QStyleFactory>

namespace veltovoice::VeltoToolsDesign {
namespace {

// Qt measures widgets in device-independent pixels, which is the unit our sizes are given in.
constexpr int kInterfaceFontPixels = 13;

QColor white(double alpha) { return QColor::fromRgbF(1.0f, 1.0f, 1.0f, static_cast<float>(alpha)); }

}  // namespace

const QColor& accent() {
  static const QColor color = QColor::fromRgbF(0.67f, 0.91f, 0.66f, 1.0f);
  return color;
}

const QColor& background() {
  static const QColor color = QColor::fromRgbF(0.075f, 0.085f, 0.085f, 1.0f);
  return color;
}

const QColor& surface() {
  static const QColor color = white(0.045);
  return color;
}

const QColor& primary() {
  static const QColor color = white(1.0);
  return color;
}

const QColor& muted() {
  static const QColor color = white(0.48);
  return color;
}

const QColor& divider() {
  static const QColor color = white(0.08);
  return color;
}

const QString& website() {
  static const QString address = QStringLiteral("https://veltotools.example/");
  return address;
}

QColor withOpacity(QColor color, double opacity) {
  color.setAlphaF(static_cast<float>(color.alphaF() * opacity));
  return color;
}

QColor overBackground(const QColor& color) {
  const QColor base = background();
  const float a = color.alphaF();
  auto mix = [a](float top, float bottom) { return top * a + bottom * (1.0f - a); };
  return QColor::fromRgbF(mix(color.redF(), base.redF()), mix(color.greenF(), base.greenF()),
                          mix(color.blueF(), base.blueF()), 1.0f);
}

QPalette palette() {
  const QColor window = background();
  const QColor raised = overBackground(surface());
  const QColor text = primary();
  const QColor secondary = overBackground(muted());
  const QColor line = overBackground(divider());

  QPalette palette;
  for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
    const bool disabled = group == QPalette::Disabled;
    palette.setColor(group, QPalette::Window, window);
    palette.setColor(group, QPalette::WindowText, disabled ? secondary : text);
    palette.setColor(group, QPalette::Base, raised);
    palette.setColor(group, QPalette::AlternateBase, overBackground(white(0.07)));
    palette.setColor(group, QPalette::Text, disabled ? secondary : text);
    palette.setColor(group, QPalette::PlaceholderText, secondary);
    palette.setColor(group, QPalette::Button, raised);
    palette.setColor(group, QPalette::ButtonText, disabled ? secondary : text);
    palette.setColor(group, QPalette::BrightText, accent());
    palette.setColor(group, QPalette::ToolTipBase, raised);
    palette.setColor(group, QPalette::ToolTipText, text);
    palette.setColor(group, QPalette::Highlight, disabled ? line : accent());
    palette.setColor(group, QPalette::HighlightedText, window);
    palette.setColor(group, QPalette::Link, accent());
    palette.setColor(group, QPalette::LinkVisited, accent());
    palette.setColor(group, QPalette::Light, overBackground(white(0.16)));
    palette.setColor(group, QPalette::Midlight, overBackground(white(0.12)));
    palette.setColor(group, QPalette::Mid, line);
    palette.setColor(group, QPalette::Dark, window.darker(130));
    palette.setColor(group, QPalette::Shadow, Qt::black);
  }
  return palette;
}

QFont monospacedDigitFont(int pixelSize) {
  QFont font(QStringLiteral("Noto Sans Mono CJK JP"));
  font.setStyleHint(QFont::Monospace);
  font.setFixedPitch(true);
  font.setPixelSize(pixelSize);
  return font;
}

QFont systemFont(int pixelSize, QFont::Weight weight) {
  QFont font = QApplication::font();
  font.setPixelSize(pixelSize);
  font.setWeight(weight);
  return font;
}

void applyTo(QApplication& app) {
  app.setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
  app.setPalette(palette());
  QFont font(QStringLiteral("Noto Sans CJK JP"));
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(kInterfaceFontPixels);
  app.setFont(font);
}

}  // namespace veltovoice::VeltoToolsDesign
