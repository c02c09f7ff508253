#include "tests/support/FileManagerFake.h"

#include <condition_variable>

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusError>
#include <QEventLoop>

namespace testsupport {

namespace {

const QString kService = QStringLiteral("org.freedesktop.FileManager1");
const QString kPath = QStringLiteral("/org/freedesktop/FileManager1");
const QString kConnectionName = QStringLiteral("fileManagerFake");

}  // namespace

class FileManagerFake::Service : public QObject, protected QDBusContext {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")

 public:
  explicit Service(FileManagerFake& fake) : fake_(fake) {}

 public slots:
  void ShowItems(const QStringList& uris, const QString& startupId) {
    fake_.record({uris, startupId});
    if (fake_.failing_) sendErrorReply(QDBusError::Failed, QStringLiteral("cannot show the items"));
  }
  void ShowFolders(const QStringList&, const QString&) {}
  void ShowItemProperties(const QStringList&, const QString&) {}

 private:
  FileManagerFake& fake_;
};

FileManagerFake::FileManagerFake(bool failing) : failing_(failing) {
  std::condition_variable ready;
  bool started = false;
  thread_.reset(QThread::create([this, &ready, &started] {
    QDBusConnection connection = QDBusConnection::connectToBus(QDBusConnection::SessionBus, kConnectionName);
    Service service(*this);
    const bool registered = connection.isConnected() &&
                            connection.registerObject(kPath, &service, QDBusConnection::ExportAllSlots) &&
                            connection.registerService(kService);
    QEventLoop loop;
    {
      std::scoped_lock lock(mutex_);
      registered_ = registered;
      loop_ = &loop;
      started = true;
    }
    ready.notify_all();
    loop.exec();
    if (connection.isConnected()) {
      connection.unregisterService(kService);
      connection.unregisterObject(kPath);
    }
    QDBusConnection::disconnectFromBus(kConnectionName);
  }));
  thread_->start();
  std::unique_lock lock(mutex_);
  ready.wait(lock, [&] { return started; });
}

FileManagerFake::~FileManagerFake() {
  // Queued: a quit posted before the loop runs still ends it once it does.
  QMetaObject::invokeMethod(loop_, &QEventLoop::quit, Qt::QueuedConnection);
  thread_->wait();
}

bool FileManagerFake::isRegistered() const {
  std::scoped_lock lock(mutex_);
  return registered_;
}

QList<FileManagerFake::Call> FileManagerFake::showItemsCalls() const {
  std::scoped_lock lock(mutex_);
  return calls_;
}

void FileManagerFake::record(Call call) {
  std::scoped_lock lock(mutex_);
  calls_.push_back(std::move(call));
}

}  // namespace testsupport

#include "FileManagerFake.moc"
