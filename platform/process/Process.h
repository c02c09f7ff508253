#pragma once

#include <chrono>
#include <filesystem>
#include <stop_token>
#include <string>
#include <vector>

namespace platform {

// Runs one child process to its end: the child gets `input` on its standard input and the caller
// gets everything it wrote to standard output and standard error. Safe from any thread; several
// runs may go on at once.
//
// The child starts in a process group of its own, with default signal handling and an empty signal
// mask. The input is written from the same loop that reads the output and watches the deadline,
// so a child that never reads its input cannot block the caller, and one that exits before reading
// it all costs the rest of the input only (SIGPIPE is ignored in this process from the first run
// on). At the deadline, or when a stop is requested, the group gets SIGTERM and, 2 s later,
// SIGKILL. Once the child has been reaped the pipes are read for a short grace period; whatever
// is left of its group then (a grandchild still holding a pipe) is killed. No process outlives a
// run.
class Process {
 public:
  struct Configuration {
    std::filesystem::path executable;
    // argv[1...]; argv[0] is the executable's path.
    std::vector<std::string> arguments;
    // The child's current folder; empty keeps the caller's.
    std::filesystem::path workingDirectory;
    // The child's whole environment, "NAME=value" each.
    std::vector<std::string> environment;
    // Written to the child's standard input, which is then closed.
    std::string input;
    // How long a child that ignores SIGTERM keeps running before SIGKILL.
    std::chrono::milliseconds killDelay{2000};
    // How long the pipes are still read after the child has been reaped.
    std::chrono::milliseconds drainGrace{300};
  };

  struct Outcome {
    // The exit status, or the number of the signal that ended the child.
    int status = 0;
    // Whether the child was ended by a signal.
    bool signalled = false;
    // Whether the deadline passed while the child ran (it was then terminated).
    bool timedOut = false;
    std::string output;  // raw bytes of standard output
    std::string error;   // raw bytes of standard error
  };

  // Starts the child and waits for it, until `deadline` (wall clock) at the latest, then the
  // termination above. Returns the outcome of a child that ended by itself or at the deadline.
  // Throws FileError when the pipes cannot be made or the child cannot be launched (nothing is
  // left running then), and CancellationError when `stop` was requested before the child ended
  // (the child and its group have been ended by then).
  static Outcome run(const Configuration& configuration,
                     std::chrono::system_clock::time_point deadline, std::stop_token stop);

  // The process's own environment, "NAME=value" each, in its order.
  static std::vector<std::string> currentEnvironment();
};

}  // namespace platform
