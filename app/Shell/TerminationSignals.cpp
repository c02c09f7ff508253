#include "app/Shell/TerminationSignals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include <QSocketNotifier>

#include "platform/sys/Error.h"

namespace veltovoice {
namespace {

// SIGHUP: the terminal of the process went away (a closed terminal window running `make run`).
constexpr int kHandled[] = {SIGTERM, SIGINT, SIGHUP};

// The write end, read by the handler; -1 while no instance lives.
volatile sig_atomic_t writeEnd = -1;

extern "C" void forwardSignal(int signal) {
  const int saved = errno;
  const unsigned char byte = static_cast<unsigned char>(signal);
  if (writeEnd >= 0) {
    // A full pipe already holds a wake-up; nothing more to do.
    const ssize_t written = ::write(writeEnd, &byte, 1);
    (void)written;
  }
  errno = saved;
}

}  // namespace

TerminationSignals::TerminationSignals(QObject* parent) : QObject(parent) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
    throw platform::Error("TerminationSignals", "POSIX", errno,
                          std::string("cannot make the signal pipe: ") + std::strerror(errno));
  }
  readEnd_ = ends[0];
  writeEnd = ends[1];
  notifier_ = std::make_unique<QSocketNotifier>(readEnd_, QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, &TerminationSignals::readPipe);

  struct sigaction action {};
  action.sa_handler = forwardSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : kHandled) ::sigaction(signal, &action, nullptr);
}

TerminationSignals::~TerminationSignals() {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  for (int signal : kHandled) ::sigaction(signal, &action, nullptr);
  notifier_.reset();
  const int write = writeEnd;
  writeEnd = -1;
  ::close(write);
  ::close(readEnd_);
}

void TerminationSignals::readPipe() {
  unsigned char byte = 0;
  while (::read(readEnd_, &byte, 1) == 1) emit terminationRequested(byte);
}

}  // namespace veltovoice
