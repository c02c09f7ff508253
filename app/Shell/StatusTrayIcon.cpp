#include "app/Shell/StatusTrayIcon.h"

#include <QSystemTrayIcon>

#include "app/Shell/StatusItem.h"

namespace veltovoice {

StatusTrayIcon::StatusTrayIcon(StatusItem& item, QObject* parent) : QObject(parent), item_(item) {
  if (!QSystemTrayIcon::isSystemTrayAvailable()) return;
  icon_ = std::make_unique<QSystemTrayIcon>();
  connect(icon_.get(), &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) {
              item_.togglePopover(icon_->geometry());
            }
          });
  connect(&item_, &StatusItem::changed, this, &StatusTrayIcon::showItem);
  showItem();
  icon_->show();
}

StatusTrayIcon::~StatusTrayIcon() = default;

void StatusTrayIcon::showItem() {
  icon_->setIcon(item_.icon());
  icon_->setToolTip(item_.toolTip());
}

}  // namespace veltovoice
