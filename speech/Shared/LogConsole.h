#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <string_view>

#include "speech/Shared/AppLogger.h"

namespace tesselaudio {

// A console writer that writes one line at a time: the same line as AppLogger's, to standard
// error. Safe from any thread. AppLogger itself does not go through it; nothing in the library
// makes one.
class LogConsole {
 public:
  LogConsole() = default;
  LogConsole(const LogConsole&) = delete;
  LogConsole& operator=(const LogConsole&) = delete;

  // Writes the line of (`level`, `category`, `message`) at the current time. A failed write prints
  // "Fatal: Failed to write to standard error. Underlying error: <reason>" on standard output;
  // nothing is thrown.
  void write(AppLogger::Level level, std::string_view category, std::string_view message);

  // The console line for `time` in local time:
  // "[HH:mm:ss.SSS] [<label>] [TesselAudio.<category>] <message>\n".
  static std::string line(AppLogger::Level level, std::string_view category,
                          std::string_view message, std::chrono::system_clock::time_point time);

 private:
  std::mutex mutex_;
};

namespace detail {

// Writes `bytes` to standard error, the first try with one write(2) call. Throws std::system_error
// when the descriptor refuses them.
void writeStandardError(std::string_view bytes);

// Prints `text` and a newline on standard output, ignoring failures.
void printStandardOutput(std::string_view text);

}  // namespace detail
}  // namespace tesselaudio
