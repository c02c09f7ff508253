#include "tests/support/NotificationServerFake.h"

#include <QDBusError>
#include <QDBusMessage>

namespace testsupport {

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kConnectionName = QStringLiteral("notificationServerFake");

}  // namespace

NotificationServerFake::NotificationServerFake()
    : connection_(QDBusConnection::connectToBus(QDBusConnection::SessionBus, kConnectionName)) {
  registered_ = connection_.isConnected() &&
                connection_.registerObject(kPath, this, QDBusConnection::ExportAllSlots) &&
                connection_.registerService(kService);
}

NotificationServerFake::~NotificationServerFake() {
  if (connection_.isConnected()) {
    connection_.unregisterService(kService);
    connection_.unregisterObject(kPath);
  }
  QDBusConnection::disconnectFromBus(kConnectionName);
}

void NotificationServerFake::invokeAction(uint id, const QString& action) {
  QDBusMessage signal = QDBusMessage::createSignal(kPath, kService, QStringLiteral("ActionInvoked"));
  signal << id << action;
  connection_.send(signal);
}

uint NotificationServerFake::Notify(const QString& appName, uint replacesId, const QString&, const QString& summary,
                                    const QString& body, const QStringList& actions, const QVariantMap&, int) {
  if (failing_) {
    sendErrorReply(QDBusError::Failed, QStringLiteral("notifications are turned off"));
    return 0;
  }
  const uint id = replacesId != 0 ? replacesId : nextId_++;
  notifications_.append(Notification{id, appName, replacesId, summary, body, actions});
  return id;
}

void NotificationServerFake::CloseNotification(uint id) { closed_.append(id); }

QStringList NotificationServerFake::GetCapabilities() { return {QStringLiteral("actions"), QStringLiteral("body")}; }

}  // namespace testsupport
