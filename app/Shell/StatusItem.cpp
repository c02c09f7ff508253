#include "app/Shell/StatusItem.h"

#include <algorithm>

#include <QCursor>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

#include "app/Editor/Symbols.h"

namespace veltovoice {

StatusItem::StatusItem(LiveModel& live, QWidget& popover, QObject* parent)
    : QObject(parent), live_(live), popover_(popover) {
  connect(&live_, &LiveModel::phaseChanged, this, &StatusItem::showPhase);
  showPhase();
}

QString StatusItem::symbolName(LiveModel::Phase phase) {
  switch (phase) {
    case LiveModel::Phase::recording:
      return QStringLiteral("record.circle.fill");
    case LiveModel::Phase::paused:
      return QStringLiteral("pause.circle");
    case LiveModel::Phase::idle:
    case LiveModel::Phase::starting:
    case LiveModel::Phase::stopping:
      break;
  }
  return QStringLiteral("waveform");
}

QString StatusItem::toolTip(LiveModel::Phase phase) {
  switch (phase) {
    case LiveModel::Phase::recording:
      return QStringLiteral("VELTO VOICE · 録音中");
    case LiveModel::Phase::paused:
      return QStringLiteral("VELTO VOICE · 一時停止中");
    case LiveModel::Phase::idle:
    case LiveModel::Phase::starting:
    case LiveModel::Phase::stopping:
      break;
  }
  return QStringLiteral("VELTO VOICE");
}

QIcon StatusItem::icon() const {
  QIcon icon = Symbols::icon(symbol_);
  // A mask follows the panel's colours, as the desktop draws its own tray symbols.
  icon.setIsMask(true);
  return icon;
}

void StatusItem::showPhase() {
  const QString symbol = symbolName(live_.phase());
  const QString tip = toolTip(live_.phase());
  if (symbol == symbol_ && tip == toolTip_) return;
  symbol_ = symbol;
  toolTip_ = tip;
  emit changed();
}

void StatusItem::togglePopover(const QRect& anchor) {
  if (popover_.isVisible()) {
    closePopover();
    return;
  }
  const QRect at = anchor.isEmpty() ? QRect(QCursor::pos(), QSize(1, 1)) : anchor;
  QScreen* screen = QGuiApplication::screenAt(at.center());
  if (!screen) screen = QGuiApplication::primaryScreen();
  const QRect free = screen ? screen->availableGeometry() : QRect();
  popover_.adjustSize();
  popover_.move(popoverPosition(at, popover_.size(), free));
  popover_.show();
  popover_.raise();
  popover_.activateWindow();
}

void StatusItem::closePopover() {
  if (popover_.isVisible()) popover_.close();
}

QPoint StatusItem::popoverPosition(const QRect& anchor, const QSize& size, const QRect& screen) {
  int x = anchor.x() + anchor.width() / 2 - size.width() / 2;
  int y = anchor.bottom() + 1;
  if (!screen.isEmpty()) {
    if (y + size.height() > screen.bottom() + 1 && anchor.top() - size.height() >= screen.top()) {
      y = anchor.top() - size.height();
    }
    x = std::clamp(x, screen.left(), std::max(screen.left(), screen.right() + 1 - size.width()));
    y = std::clamp(y, screen.top(), std::max(screen.top(), screen.bottom() + 1 - size.height()));
  }
  return {x, y};
}

}  // namespace veltovoice
