#pragma once

#include <memory>

#include <QObject>

class QSocketNotifier;

namespace veltovoice {

// Turns SIGTERM, SIGINT and SIGHUP into a Qt signal on the GUI thread, through a pipe that the
// handler writes one byte into (the only thing a handler may safely do). While an instance lives,
// those signals no longer end the process by themselves. One instance per process. GUI thread only.
class TerminationSignals : public QObject {
  Q_OBJECT

 public:
  // Installs the handlers; throws platform::Error when the pipe cannot be made.
  explicit TerminationSignals(QObject* parent = nullptr);
  // Puts the default handlers back.
  ~TerminationSignals() override;

  TerminationSignals(const TerminationSignals&) = delete;
  TerminationSignals& operator=(const TerminationSignals&) = delete;

 signals:
  // SIGTERM, SIGINT or SIGHUP arrived; once per arrival.
  void terminationRequested(int signal);

 private:
  void readPipe();

  int readEnd_ = -1;
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace veltovoice
