#include "app/Updates/DesktopNotifications.h"

#include <utility>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QSystemTrayIcon>
#include <QVariantMap>

namespace veltovoice {

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");

QDBusMessage call(const QString& method) {
  return QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
}

}  // namespace

DesktopNotifications::DesktopNotifications(QObject* parent) : QObject(parent) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return;
  bus.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
              SLOT(actionInvoked(uint,QString)));
  bus.connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), this,
              SLOT(notificationClosed(uint,uint)));
}

DesktopNotifications::~DesktopNotifications() = default;

void DesktopNotifications::setTrayIcon(QSystemTrayIcon* icon) {
  if (tray_) tray_->disconnect(this);
  tray_ = icon;
  if (icon == nullptr) return;
  connect(icon, &QSystemTrayIcon::messageClicked, this, [this] {
    if (!trayIdentifier_.isEmpty()) emit responded(trayIdentifier_, QString::fromLatin1(kDefaultAction));
  });
}

void DesktopNotifications::add(const Request& request, std::function<void(bool)> completed) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) {
    showInTray(request);
    if (completed) {
      QMetaObject::invokeMethod(this, [completed] { completed(false); }, Qt::QueuedConnection);
    }
    return;
  }
  QStringList actions{QString::fromLatin1(kDefaultAction), QString()};
  for (const Action& action : request.actions) actions << action.identifier << action.title;
  // A notification already shown under the same identifier is replaced in place.
  uint replaces = 0;
  for (const auto& [id, identifier] : shown_) {
    if (identifier == request.identifier) replaces = id;
  }
  QDBusMessage notify = call(QStringLiteral("Notify"));
  notify << QCoreApplication::applicationName() << replaces << QString() << request.title << request.body
         << actions << QVariantMap() << -1;
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(notify), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this,
          [this, request, completed = std::move(completed)](QDBusPendingCallWatcher* call) {
            delivered(request, call, completed);
          });
}

void DesktopNotifications::delivered(const Request& request, QDBusPendingCallWatcher* call,
                                     const std::function<void(bool)>& completed) {
  call->deleteLater();
  const QDBusPendingReply<uint> reply = *call;
  if (reply.isError()) {
    showInTray(request);
    if (completed) completed(false);
    return;
  }
  std::erase_if(shown_, [&](const auto& entry) { return entry.second == request.identifier; });
  shown_[reply.value()] = request.identifier;
  if (completed) completed(true);
}

void DesktopNotifications::showInTray(const Request& request) {
  if (!tray_) return;
  trayIdentifier_ = request.identifier;
  tray_->showMessage(request.title, request.body);
}

void DesktopNotifications::removeDelivered(const QString& identifier) {
  if (trayIdentifier_ == identifier) trayIdentifier_.clear();
  QDBusConnection bus = QDBusConnection::sessionBus();
  for (auto entry = shown_.begin(); entry != shown_.end();) {
    if (entry->second != identifier) {
      ++entry;
      continue;
    }
    if (bus.isConnected()) {
      QDBusMessage close = call(QStringLiteral("CloseNotification"));
      close << entry->first;
      bus.asyncCall(close);
    }
    entry = shown_.erase(entry);
  }
}

void DesktopNotifications::actionInvoked(uint id, const QString& action) {
  const auto entry = shown_.find(id);
  if (entry == shown_.end()) return;
  emit responded(entry->second, action);
}

void DesktopNotifications::notificationClosed(uint id, uint) { shown_.erase(id); }

}  // namespace veltovoice
