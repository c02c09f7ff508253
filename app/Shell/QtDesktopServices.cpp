#include "app/Shell/QtDesktopServices.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QString>
#include <QStringList>
#include <QUrl>

namespace veltovoice {

void QtDesktopServices::showFileSelected(const std::filesystem::path& file) {
  QDBusMessage call = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
      QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
  const QUrl url = QUrl::fromLocalFile(QString::fromStdString(file.string()));
  call << QStringList{url.toString()} << QString();
  const QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, 3000);
  if (reply.type() != QDBusMessage::ReplyMessage) openFolder(file.parent_path());
}

void QtDesktopServices::openFolder(const std::filesystem::path& folder) {
  QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(folder.string())));
}

void QtDesktopServices::openAddress(const std::string& address) {
  QDesktopServices::openUrl(QUrl(QString::fromStdString(address)));
}

}  // namespace veltovoice
