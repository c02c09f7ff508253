#include "platform/process/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <optional>

#include "platform/sys/CancellationError.h"
#include "platform/sys/FileError.h"

extern char** environ;

namespace platform {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr milliseconds kPollInterval{200};
constexpr std::size_t kBlockBytes = 64 * 1024;

// A file descriptor closed on destruction.
class Descriptor {
 public:
  Descriptor() = default;
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() { reset(); }
  Descriptor(Descriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Descriptor& operator=(Descriptor&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = other.fd_;
      other.fd_ = -1;
    }
    return *this;
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  int get() const { return fd_; }
  bool isOpen() const { return fd_ >= 0; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);  // a failed close changes nothing for us: the exit status decides
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

struct Pipe {
  Descriptor read;
  Descriptor write;
};

// Both ends close on exec, so that a child started by another thread meanwhile inherits neither.
Pipe makePipe(const std::filesystem::path& executable) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw FileError::fromErrno("open a pipe for", executable, errno);
  return Pipe{Descriptor(fds[0]), Descriptor(fds[1])};
}

void makeNonBlocking(const Descriptor& fd) {
  const int flags = ::fcntl(fd.get(), F_GETFL);
  ::fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK);
}

// A child that exits before reading all of its input must not take this process with it.
void ignoreBrokenPipes() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction current {};
    if (::sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
      ::signal(SIGPIPE, SIG_IGN);
    }
  });
}

// posix_spawn's attribute and file-action records, released on destruction.
class SpawnSetup {
 public:
  SpawnSetup() {
    ::posix_spawnattr_init(&attributes_);
    ::posix_spawn_file_actions_init(&actions_);
  }
  ~SpawnSetup() {
    ::posix_spawn_file_actions_destroy(&actions_);
    ::posix_spawnattr_destroy(&attributes_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  posix_spawnattr_t attributes_;
  posix_spawn_file_actions_t actions_;
};

pid_t launch(const Process::Configuration& configuration, const Pipe& input, const Pipe& output,
             const Pipe& error) {
  SpawnSetup setup;
  // A group of its own, so that a termination reaches whatever the child starts.
  ::posix_spawnattr_setpgroup(&setup.attributes_, 0);
  sigset_t all;
  ::sigfillset(&all);
  ::sigdelset(&all, SIGKILL);
  ::sigdelset(&all, SIGSTOP);
  ::posix_spawnattr_setsigdefault(&setup.attributes_, &all);
  sigset_t none;
  ::sigemptyset(&none);
  ::posix_spawnattr_setsigmask(&setup.attributes_, &none);
  ::posix_spawnattr_setflags(&setup.attributes_,
                             POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  ::posix_spawn_file_actions_adddup2(&setup.actions_, input.read.get(), STDIN_FILENO);
  ::posix_spawn_file_actions_adddup2(&setup.actions_, output.write.get(), STDOUT_FILENO);
  ::posix_spawn_file_actions_adddup2(&setup.actions_, error.write.get(), STDERR_FILENO);
  if (!configuration.workingDirectory.empty()) {
    ::posix_spawn_file_actions_addchdir_np(&setup.actions_, configuration.workingDirectory.c_str());
  }

  const std::string path = configuration.executable.string();
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const std::string& argument : configuration.arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& entry : configuration.environment) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);

  pid_t pid = 0;
  const int result = ::posix_spawn(&pid, path.c_str(), &setup.actions_, &setup.attributes_,
                                   argv.data(), envp.data());
  if (result != 0) throw FileError::fromErrno("launch", configuration.executable, result);
  return pid;
}

// Reads what is there; closes the descriptor at the end of the stream or on an error.
void readSome(Descriptor& fd, std::string& into) {
  char buffer[kBlockBytes];
  const ssize_t count = ::read(fd.get(), buffer, sizeof buffer);
  if (count > 0) {
    into.append(buffer, static_cast<std::size_t>(count));
  } else if (count == 0 || (errno != EAGAIN && errno != EINTR)) {
    fd.reset();
  }
}

// Writes the next block of the input; closes the descriptor when all is written or the child
// will read no more (EPIPE and any other error end the input, the exit status decides).
void writeSome(Descriptor& fd, const std::string& input, std::size_t& written) {
  const std::size_t count = std::min(kBlockBytes, input.size() - written);
  const ssize_t result = count > 0 ? ::write(fd.get(), input.data() + written, count) : 0;
  if (result > 0) written += static_cast<std::size_t>(result);
  if (result < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (result < 0 || written == input.size()) fd.reset();
}

// The child's life as seen by the loop.
struct Watch {
  pid_t pid = 0;
  std::optional<int> waitStatus;
  std::optional<steady_clock::time_point> reapedAt;
  std::optional<steady_clock::time_point> terminatedAt;
  bool killed = false;
  bool timedOut = false;
};

void signalGroup(pid_t pid, int signal) { ::kill(-pid, signal); }

void reapIfExited(Watch& watch) {
  if (watch.waitStatus) return;
  int status = 0;
  pid_t result;
  do {
    result = ::waitpid(watch.pid, &status, WNOHANG);
  } while (result < 0 && errno == EINTR);
  if (result == watch.pid) {
    watch.waitStatus = status;
    watch.reapedAt = steady_clock::now();
  } else if (result < 0 && errno == ECHILD) {
    // Someone else reaped it (a SIGCHLD handler waiting for any child): its status is lost, and
    // reading on would wait for nothing.
    watch.waitStatus = W_EXITCODE(255, 0);
    watch.reapedAt = steady_clock::now();
  }
}

// Terminates at the deadline or on a stop, and kills what ignores the termination.
void enforceLimits(Watch& watch, const Process::Configuration& configuration,
                   std::chrono::system_clock::time_point deadline, const std::stop_token& stop) {
  if (watch.waitStatus) return;
  if (!watch.terminatedAt) {
    const bool late = std::chrono::system_clock::now() > deadline;
    if (late || stop.stop_requested()) {
      watch.timedOut = late;
      signalGroup(watch.pid, SIGTERM);
      watch.terminatedAt = steady_clock::now();
    }
  } else if (!watch.killed && steady_clock::now() - *watch.terminatedAt >= configuration.killDelay) {
    signalGroup(watch.pid, SIGKILL);
    watch.killed = true;
  }
}

int pollTimeoutMs(const Watch& watch, const Process::Configuration& configuration,
                  std::chrono::system_clock::time_point deadline) {
  milliseconds wait = kPollInterval;
  const auto now = steady_clock::now();
  if (watch.reapedAt) {
    wait = std::min(wait, std::chrono::duration_cast<milliseconds>(
                              *watch.reapedAt + configuration.drainGrace - now));
  } else if (watch.terminatedAt) {
    wait = std::min(wait, std::chrono::duration_cast<milliseconds>(
                              *watch.terminatedAt + configuration.killDelay - now));
  } else {
    wait = std::min(wait, std::chrono::duration_cast<milliseconds>(
                              deadline - std::chrono::system_clock::now()) + milliseconds(1));
  }
  return static_cast<int>(std::max<milliseconds::rep>(wait.count(), 0));
}

// Writes the input, reads both streams and watches the limits until the child has been reaped and
// its pipes are drained (or the grace period after reaping has passed).
void supervise(Watch& watch, const Process::Configuration& configuration,
               std::chrono::system_clock::time_point deadline, const std::stop_token& stop,
               Descriptor& input, Descriptor& output, Descriptor& error, Process::Outcome& outcome) {
  std::size_t written = 0;
  if (configuration.input.empty()) input.reset();
  for (;;) {
    reapIfExited(watch);
    if (watch.waitStatus) {
      const bool drained = !output.isOpen() && !error.isOpen();
      if (drained || steady_clock::now() - *watch.reapedAt >= configuration.drainGrace) break;
    }
    enforceLimits(watch, configuration, deadline, stop);
    if (watch.terminatedAt) input.reset();

    pollfd fds[3];
    nfds_t count = 0;
    if (input.isOpen()) fds[count++] = {input.get(), POLLOUT, 0};
    if (output.isOpen()) fds[count++] = {output.get(), POLLIN, 0};
    if (error.isOpen()) fds[count++] = {error.get(), POLLIN, 0};
    const int ready = ::poll(fds, count, pollTimeoutMs(watch, configuration, deadline));
    if (ready <= 0) continue;
    for (nfds_t i = 0; i < count; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == input.get()) {
        writeSome(input, configuration.input, written);
      } else if (fds[i].fd == output.get()) {
        readSome(output, outcome.output);
      } else if (fds[i].fd == error.get()) {
        readSome(error, outcome.error);
      }
    }
  }
}

}  // namespace

Process::Outcome Process::run(const Configuration& configuration,
                              std::chrono::system_clock::time_point deadline, std::stop_token stop) {
  CancellationError::throwIfRequested(stop);
  ignoreBrokenPipes();
  Pipe input = makePipe(configuration.executable);
  Pipe output = makePipe(configuration.executable);
  Pipe error = makePipe(configuration.executable);
  Watch watch;
  watch.pid = launch(configuration, input, output, error);
  input.read.reset();
  output.write.reset();
  error.write.reset();
  for (const Descriptor* fd : {&input.write, &output.read, &error.read}) makeNonBlocking(*fd);

  Outcome outcome;
  try {
    supervise(watch, configuration, deadline, stop, input.write, output.read, error.read, outcome);
  } catch (...) {
    // Nothing of the child may outlive a run that failed on our side.
    signalGroup(watch.pid, SIGKILL);
    if (!watch.waitStatus) ::waitpid(watch.pid, nullptr, 0);
    throw;
  }
  // Whatever the child left in its group (a grandchild holding a pipe) ends with the run.
  signalGroup(watch.pid, SIGKILL);

  CancellationError::throwIfRequested(stop);
  const int status = *watch.waitStatus;
  outcome.signalled = WIFSIGNALED(status);
  outcome.status = outcome.signalled ? WTERMSIG(status) : WEXITSTATUS(status);
  outcome.timedOut = watch.timedOut;
  return outcome;
}

std::vector<std::string> Process::currentEnvironment() {
  std::vector<std::string> entries;
  for (char** entry = environ; entry && *entry; ++entry) entries.emplace_back(*entry);
  return entries;
}

}  // namespace platform
