#include "app/Shell/UpdateCommands.h"

#include <QAction>
#include <QMenu>

#include "app/Updates/Updates.h"

namespace veltovoice {

UpdateCommands::UpdateCommands(Updates& updates, QObject* parent)
    : QObject(parent),
      updates_(updates),
      check_(new QAction(this)),
      automatic_(new QAction(QStringLiteral("更新を自動で確認・通知"), this)) {
  automatic_->setCheckable(true);
  connect(check_, &QAction::triggered, this, [this] { updates_.check(); });
  connect(automatic_, &QAction::toggled, this, [this](bool on) {
    if (on != updates_.automatic()) updates_.setAutomatic(on);
  });
  connect(&updates_, &Updates::configuredChanged, this, &UpdateCommands::showService);
  connect(&updates_, &Updates::availableVersionChanged, this, &UpdateCommands::showService);
  connect(&updates_, &Updates::automaticChanged, this, &UpdateCommands::showService);
  showService();
}

void UpdateCommands::addTo(QMenu& menu) const {
  menu.addAction(check_);
  menu.addAction(automatic_);
}

void UpdateCommands::showService() {
  const std::optional<QString>& version = updates_.availableVersion();
  check_->setText(version ? QStringLiteral("アップデート（") + *version + QStringLiteral("）…")
                          : QStringLiteral("アップデートを確認…"));
  check_->setEnabled(updates_.configured());
  automatic_->setChecked(updates_.automatic());
}

}  // namespace veltovoice
