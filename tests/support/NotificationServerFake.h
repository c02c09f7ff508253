#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

namespace testsupport {

// A desktop notification service (org.freedesktop.Notifications) on the session bus, which
// records what it is asked and sends ActionInvoked on request. It talks over a connection of its
// own, so the code under test reaches it through the bus daemon like any real service. Answers
// come from the event loop of the GUI thread: callers must not block it waiting.
// REQUIRES: a session bus (tests that use it run under dbus-run-session).
class NotificationServerFake : public QObject, protected QDBusContext {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

 public:
  struct Notification {
    uint id = 0;
    QString appName;
    uint replacesId = 0;
    QString summary;
    QString body;
    QStringList actions;
  };

  // Registers the service; isRegistered() tells whether that worked.
  NotificationServerFake();
  ~NotificationServerFake() override;

  bool isRegistered() const { return registered_; }
  // Notify answers with an error while on.
  void setFailing(bool failing) { failing_ = failing; }
  // Sends ActionInvoked for notification `id`.
  void invokeAction(uint id, const QString& action);

  const QList<Notification>& notifications() const { return notifications_; }
  const QList<uint>& closed() const { return closed_; }

 public slots:
  uint Notify(const QString& appName, uint replacesId, const QString& appIcon, const QString& summary,
              const QString& body, const QStringList& actions, const QVariantMap& hints, int expireTimeout);
  void CloseNotification(uint id);
  QStringList GetCapabilities();

 private:
  QDBusConnection connection_;
  bool registered_ = false;
  bool failing_ = false;
  uint nextId_ = 1;
  QList<Notification> notifications_;
  QList<uint> closed_;
};

}  // namespace testsupport
