#pragma once

#include <functional>
#include <map>

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

class QDBusPendingCallWatcher;
class QSystemTrayIcon;

namespace veltovoice {

// Notifications of the desktop through the freedesktop service org.freedesktop.Notifications on
// the session bus. Each notification has an identifier of the application's choosing; a new one
// with the same identifier replaces the old one. When the service cannot be reached or refuses a
// notification, the tray icon's message stands in for it, and a click on that message counts as
// the default action. Authorization is not asked: the desktop has none to give. GUI thread only.
class DesktopNotifications : public QObject {
  Q_OBJECT

 public:
  // The action a click on the notification itself reports.
  static constexpr const char* kDefaultAction = "default";

  struct Action {
    QString identifier;
    QString title;
  };

  struct Request {
    QString identifier;
    QString title;
    QString body;
    QList<Action> actions;  // besides the default action, which every notification has
  };

  explicit DesktopNotifications(QObject* parent = nullptr);
  ~DesktopNotifications() override;

  // The icon whose message stands in when the service is missing; may be null. Borrowed.
  void setTrayIcon(QSystemTrayIcon* icon);

  // Posts `request`. Later, on the GUI thread, `completed(true)` when the service took it, else
  // `completed(false)` after the tray icon's message (when there is an icon) stood in. `completed`
  // may be empty; it is dropped with this object.
  void add(const Request& request, std::function<void(bool accepted)> completed);

  // Removes the delivered notification `identifier`, if the service still shows it.
  void removeDelivered(const QString& identifier);

 signals:
  // The user clicked notification `identifier` (action kDefaultAction) or one of its actions.
  void responded(const QString& identifier, const QString& action);

 private slots:
  // Slots by name: QtDBus connects bus signals only through them.
  void actionInvoked(uint id, const QString& action);
  void notificationClosed(uint id, uint reason);

 private:
  void delivered(const Request& request, QDBusPendingCallWatcher* call,
                 const std::function<void(bool)>& completed);
  void showInTray(const Request& request);

  QPointer<QSystemTrayIcon> tray_;
  QString trayIdentifier_;
  // Identifier of each notification the service shows, by the service's id.
  std::map<uint, QString> shown_;
};

}  // namespace veltovoice
