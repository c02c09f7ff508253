#pragma once

#include <memory>

#include <QObject>

class QSystemTrayIcon;

namespace veltovoice {

class StatusItem;

// Shows a StatusItem in the desktop's system tray: the item's icon and tooltip, and a click that
// toggles its popover at the icon. Where the desktop has no system tray, nothing is shown and
// icon() is null; the application runs on through its window. GUI thread only.
class StatusTrayIcon : public QObject {
  Q_OBJECT

 public:
  // `item` is borrowed and must outlive the icon.
  explicit StatusTrayIcon(StatusItem& item, QObject* parent = nullptr);
  ~StatusTrayIcon() override;

  // The tray icon, or null without a system tray.
  QSystemTrayIcon* icon() const { return icon_.get(); }

 private:
  void showItem();

  StatusItem& item_;
  std::unique_ptr<QSystemTrayIcon> icon_;
};

}  // namespace veltovoice
