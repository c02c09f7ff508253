#pragma once

#include <QIcon>
#include <QObject>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>

#include "app/Model/LiveModel.h"

class QWidget;

namespace veltovoice {

// The status item's behaviour, apart from the tray icon that shows it: the symbol and tooltip that
// follow the model's phase, and the popover that the item toggles, anchored at the item. The
// QSystemTrayIcon adapter (StatusTrayIcon) only forwards clicks and shows what this says, so that
// this part runs where there is no system tray. GUI thread only.
//
//   phase                      symbol                tooltip
//   recording                  "record.circle.fill"  "VELTO VOICE · 録音中"
//   paused                     "pause.circle"        "VELTO VOICE · 一時停止中"
//   idle, starting, stopping   "waveform"            "VELTO VOICE"
class StatusItem : public QObject {
  Q_OBJECT

 public:
  // Both are borrowed and must outlive the item; `popover` is a top-level popup widget.
  StatusItem(LiveModel& live, QWidget& popover, QObject* parent = nullptr);

  static QString symbolName(LiveModel::Phase phase);
  static QString toolTip(LiveModel::Phase phase);

  // What the item shows now: the symbol and tooltip of the model's phase.
  const QString& symbol() const { return symbol_; }
  const QString& toolTip() const { return toolTip_; }
  QIcon icon() const;

  // Closes the popover when it is shown; otherwise shows it at popoverPosition() of `anchor` (the
  // item's place on the screen, in global coordinates; empty when the desktop does not say, then
  // the pointer stands in) and makes it the active window.
  void togglePopover(const QRect& anchor);
  // Closes the popover when it is shown.
  void closePopover();

  // Where a popover of `size` goes for an item at `anchor` on a screen whose free area is
  // `screen`: centred below the item, or above it when it does not fit below (a panel at the
  // bottom), moved sideways and up or down to stay on the screen where it fits.
  static QPoint popoverPosition(const QRect& anchor, const QSize& size, const QRect& screen);

 signals:
  // symbol() and toolTip() changed.
  void changed();

 private:
  void showPhase();

  LiveModel& live_;
  QWidget& popover_;
  QString symbol_;
  QString toolTip_;
};

}  // namespace veltovoice
