#include "app/Shell/PulsingSymbol.h"

#include <QPainter>
#include <QVariantAnimation>

#include "app/Editor/Symbols.h"

namespace veltovoice {
namespace {

constexpr int kPulseMs = 1000;
constexpr double kFaintest = 0.3;

}  // namespace

QVariantAnimation* PulsingSymbol::makePulse(QObject* parent) {
  auto* pulse = new QVariantAnimation(parent);
  pulse->setDuration(kPulseMs);
  pulse->setStartValue(1.0);
  pulse->setKeyValueAt(0.5, kFaintest);
  pulse->setEndValue(1.0);
  pulse->setEasingCurve(QEasingCurve::InOutSine);
  pulse->setLoopCount(-1);
  return pulse;
}

PulsingSymbol::PulsingSymbol(int size, const QColor& color, QWidget* parent)
    : QWidget(parent), size_(size), color_(color), pulse_(makePulse(this)) {
  setFixedSize(size, size);
  connect(pulse_, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
    opacity_ = value.toDouble();
    update();
  });
}

void PulsingSymbol::setSymbolName(const QString& name) {
  if (name == symbolName_) return;
  symbolName_ = name;
  update();
}

bool PulsingSymbol::pulsing() const { return pulse_->state() == QAbstractAnimation::Running; }

void PulsingSymbol::setPulsing(bool pulsing) {
  if (pulsing == this->pulsing()) return;
  if (pulsing) {
    pulse_->start();
  } else {
    pulse_->stop();
    opacity_ = 1;
    update();
  }
}

QSize PulsingSymbol::sizeHint() const { return QSize(size_, size_); }

void PulsingSymbol::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setOpacity(opacity_);
  Symbols::icon(symbolName_, color_).paint(&painter, rect());
}

}  // namespace veltovoice
