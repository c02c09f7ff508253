#pragma once

#include <QObject>

class QAction;
class QMenu;

namespace veltovoice {

class Updates;

// The application menu's update items, following the update service:
//
//   "アップデートを確認…", or "アップデート（<version>）…" once a newer version is known:
//       starts a check; enabled only while the service is configured
//   "更新を自動で確認・通知": a check mark bound both ways to the service's `automatic`; always
//       enabled
//
// GUI thread only.
class UpdateCommands : public QObject {
  Q_OBJECT

 public:
  // `updates` is borrowed and must outlive the commands.
  explicit UpdateCommands(Updates& updates, QObject* parent = nullptr);

  QAction* check() const { return check_; }
  QAction* automatic() const { return automatic_; }

  // Adds the two items, in order, to `menu`.
  void addTo(QMenu& menu) const;

 private:
  void showService();

  Updates& updates_;
  QAction* check_;
  QAction* automatic_;
};

}  // namespace veltovoice
