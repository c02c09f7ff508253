#pragma once

#include <filesystem>
#include <memory>

#include <QObject>
#include <QString>

class QLocalServer;

namespace veltovoice {

// Keeps one running application per user and data folder. The first launch listens on a local
// socket named after both; a later launch finds it, asks it to show its main window and ends, so
// that two processes never write one data folder. A socket left behind by a process that was
// killed answers nobody and is taken over. GUI thread only.
//
// The request is the line "show\n"; the running application answers "shown\n" once it has shown
// its window.
class SingleInstance : public QObject {
  Q_OBJECT

 public:
  // For the application folder `dataFolder` of the current user.
  explicit SingleInstance(const std::filesystem::path& dataFolder, QObject* parent = nullptr);
  ~SingleInstance() override;

  // The socket's name: "VeltoVoice-" with the user id and a digest of the absolute data folder.
  const QString& name() const { return name_; }

  enum class Claim {
    listening,       // this application is the one; requests come through showRequested()
    reachedRunning,  // another application runs and was asked to show its window: end now
    unavailable,     // the socket cannot be made; the application runs on without it
  };

  // Asks a running application to show its window, or else starts listening, taking over a stale
  // socket.
  Claim claim();

  // Asks a running application to show its window. True when one took the request; false when
  // none runs.
  bool reachRunning() const;

 signals:
  // Another launch asked for the main window. The receiver shows it; the answer follows.
  void showRequested();

 private:
  void answer();

  QString name_;
  std::unique_ptr<QLocalServer> server_;
};

}  // namespace veltovoice
