#include "app/Shell/SingleInstance.h"

#include <unistd.h>

#include <QCryptographicHash>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>

namespace veltovoice {
namespace {

constexpr int kConnectMs = 2000;
constexpr int kAnswerMs = 10000;
const QByteArray kRequest = QByteArrayLiteral("show\n");
const QByteArray kAnswer = QByteArrayLiteral("shown\n");

QString socketName(const std::filesystem::path& dataFolder) {
  std::error_code ignored;
  std::filesystem::path absolute = std::filesystem::weakly_canonical(dataFolder, ignored);
  if (absolute.empty()) absolute = std::filesystem::absolute(dataFolder, ignored);
  const QByteArray digest = QCryptographicHash::hash(QFile::encodeName(QString::fromStdString(absolute.string())),
                                                     QCryptographicHash::Sha256)
                                .toHex()
                                .left(16);
  return QStringLiteral("VeltoVoice-%1-%2").arg(::getuid()).arg(QString::fromLatin1(digest));
}

}  // namespace

SingleInstance::SingleInstance(const std::filesystem::path& dataFolder, QObject* parent)
    : QObject(parent), name_(socketName(dataFolder)) {}

SingleInstance::~SingleInstance() = default;

bool SingleInstance::reachRunning() const {
  QLocalSocket socket;
  socket.connectToServer(name_);
  if (!socket.waitForConnected(kConnectMs)) return false;
  socket.write(kRequest);
  socket.waitForBytesWritten(kConnectMs);
  // The answer only tells that the window is up; a running application was reached either way.
  while (!socket.canReadLine() && socket.waitForReadyRead(kAnswerMs)) {
  }
  return true;
}

SingleInstance::Claim SingleInstance::claim() {
  if (reachRunning()) return Claim::reachedRunning;
  server_ = std::make_unique<QLocalServer>();
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  if (!server_->listen(name_)) {
    if (server_->serverError() != QAbstractSocket::AddressInUseError) {
      server_.reset();
      return Claim::unavailable;
    }
    // Another launch may have begun listening since the first look.
    if (reachRunning()) {
      server_.reset();
      return Claim::reachedRunning;
    }
    // Nobody answers on the socket: its owner died without removing it.
    QLocalServer::removeServer(name_);
    if (!server_->listen(name_)) {
      server_.reset();
      return Claim::unavailable;
    }
  }
  connect(server_.get(), &QLocalServer::newConnection, this, &SingleInstance::answer);
  return Claim::listening;
}

void SingleInstance::answer() {
  while (QLocalSocket* socket = server_->nextPendingConnection()) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
      while (socket->canReadLine()) {
        if (socket->readLine() != kRequest) continue;
        emit showRequested();
        socket->write(kAnswer);
        socket->flush();
      }
    });
  }
}

}  // namespace veltovoice
