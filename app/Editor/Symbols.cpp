#include "app/Editor/Symbols.h"

#include <algorithm>
#include <memory>

#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QIconEngine>
#include <QImage>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QSvgRenderer>

namespace veltovoice::Symbols {
namespace {

const QString kFolder = QStringLiteral(":/symbols/");

// Renders one drawing at any size and fills its shape with the colour of the icon's mode.
class SymbolEngine : public QIconEngine {
 public:
  SymbolEngine(std::shared_ptr<QSvgRenderer> renderer, QColor color)
      : renderer_(std::move(renderer)), color_(color) {}

  void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override {
    const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
    QPixmap image = pixmap(rect.size() * ratio, mode, state);
    image.setDevicePixelRatio(ratio);
    painter->drawPixmap(rect, image);
  }

  QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State) override {
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    if (size.isEmpty()) return QPixmap::fromImage(image);
    QPainter painter(&image);
    // Drawings are square: keep them so, centred, in a frame of another shape.
    const qreal side = std::min(size.width(), size.height());
    renderer_->render(&painter, QRectF((size.width() - side) / 2, (size.height() - side) / 2, side, side));
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(image.rect(), tint(mode));
    painter.end();
    return QPixmap::fromImage(image);
  }

  QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override { return size; }

  QIconEngine* clone() const override { return new SymbolEngine(renderer_, color_); }

  QString key() const override { return QStringLiteral("VeltoSymbol"); }

 private:
  QColor tint(QIcon::Mode mode) const {
    const QPalette palette = QGuiApplication::palette();
    if (!color_.isValid()) {
      return palette.color(mode == QIcon::Disabled ? QPalette::Disabled : QPalette::Active,
                           QPalette::ButtonText);
    }
    if (mode != QIcon::Disabled) return color_;
    QColor faded = color_;
    faded.setAlphaF(color_.alphaF() * 0.4f);
    return faded;
  }

  std::shared_ptr<QSvgRenderer> renderer_;  // shared by clones, never changed after loading
  QColor color_;
};

}  // namespace

QStringList names() {
  QStringList result;
  for (const QFileInfo& file : QDir(kFolder).entryInfoList({QStringLiteral("*.svg")}, QDir::Files,
                                                           QDir::Name)) {
    result << file.completeBaseName();
  }
  return result;
}

QIcon icon(const QString& name, const QColor& color) {
  if (!QFileInfo::exists(kFolder + name + QStringLiteral(".svg"))) return QIcon();
  auto renderer = std::make_shared<QSvgRenderer>(kFolder + name + QStringLiteral(".svg"));
  if (!renderer->isValid()) return QIcon();
  return QIcon(new SymbolEngine(std::move(renderer), color));
}

}  // namespace veltovoice::Symbols
