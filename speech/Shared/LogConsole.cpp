#include "speech/Shared/LogConsole.h"

#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <system_error>

#include <fmt/format.h>

namespace tesselaudio {

void LogConsole::write(AppLogger::Level level, std::string_view category,
                       std::string_view message) {
  const std::string text = line(level, category, message, std::chrono::system_clock::now());
  std::scoped_lock lock(mutex_);
  try {
    detail::writeStandardError(text);
  } catch (const std::system_error& e) {
    detail::printStandardOutput(
        std::string("Fatal: Failed to write to standard error. Underlying error: ") +
        e.code().message());
  }
}

std::string LogConsole::line(AppLogger::Level level, std::string_view category,
                             std::string_view message,
                             std::chrono::system_clock::time_point time) {
  using namespace std::chrono;
  const auto seconds = floor<std::chrono::seconds>(time);
  const auto millis = duration_cast<milliseconds>(time - seconds).count();
  const std::time_t t = system_clock::to_time_t(seconds);
  std::tm local{};
  localtime_r(&t, &local);
  return fmt::format("[{:02}:{:02}:{:02}.{:03}] [{}] [TesselAudio.{}] {}\n", local.tm_hour,
                     local.tm_min, local.tm_sec, millis, AppLogger::consoleLabel(level), category,
                     message);
}

namespace detail {

void writeStandardError(std::string_view bytes) {
  // One write(2) for the whole line keeps lines of concurrent loggers apart; the loop only
  // finishes a write the kernel cut short.
  while (!bytes.empty()) {
    const ssize_t n = ::write(STDERR_FILENO, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "write to standard error");
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

void printStandardOutput(std::string_view text) {
  std::string line(text);
  line.push_back('\n');
  std::string_view rest = line;
  while (!rest.empty()) {
    const ssize_t n = ::write(STDOUT_FILENO, rest.data(), rest.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    rest.remove_prefix(static_cast<size_t>(n));
  }
}

}  // namespace detail
}  // namespace tesselaudio
