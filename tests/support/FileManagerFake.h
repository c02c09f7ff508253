#pragma once

#include <memory>
#include <mutex>

#include <QString>
#include <QStringList>
#include <QThread>

class QEventLoop;

namespace testsupport {

// A file manager on the session bus (org.freedesktop.FileManager1) that records the items it is
// asked to show. It answers from a thread of its own, so a caller that blocks its GUI thread on
// the call still gets an answer, as from a real file manager. Safe from any thread.
// REQUIRES: a session bus (tests that use it run under dbus-run-session).
class FileManagerFake {
 public:
  struct Call {
    QStringList uris;
    QString startupId;
  };

  // Registers the service; isRegistered() tells whether that worked.
  explicit FileManagerFake(bool failing = false);
  ~FileManagerFake();
  FileManagerFake(const FileManagerFake&) = delete;
  FileManagerFake& operator=(const FileManagerFake&) = delete;

  bool isRegistered() const;
  QList<Call> showItemsCalls() const;

 private:
  class Service;
  friend class Service;

  void record(Call call);

  const bool failing_;
  mutable std::mutex mutex_;
  bool registered_ = false;
  QList<Call> calls_;
  QEventLoop* loop_ = nullptr;  // the service thread's, set before the constructor returns
  std::unique_ptr<QThread> thread_;
};

}  // namespace testsupport
