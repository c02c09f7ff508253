#include "app/Model/AppLog.h"

#include <cxxabi.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <system_error>
#include <typeinfo>

#include <fmt/format.h>

#include "DevadEvev/LiveTranscriber.h"
#include "app/Model/DesktopServices.h"
#include "platform/sys/Environment.h"
#include "platform/sys/Error.h"
#include "platform/sys/SerialQueue.h"
#include "platform/sys/SystemLog.h"

namespace veltovoice::AppLog {
namespace {

constexpr std::string_view kSubsystem = "velto-voice-app";
constexpr std::string_view kCategory = "app";
constexpr std::uintmax_t kRotationBytes = 2'000'000;

std::filesystem::path dataHome() {
  // Only an absolute XDG_DATA_HOME counts; a relative one is to be ignored.
  const auto xdg = platform::Environment::value("XDG_DATA_HOME");
  if (xdg && !xdg->empty() && (*xdg)[0] == '/') return *xdg;
  return std::filesystem::path(platform::Environment::value("HOME").value_or("")) / ".local" / "share";
}

const std::filesystem::path& logDirectory() {
  static const std::filesystem::path directory = dataHome() / "VeltoVoice" / "Logs";
  return directory;
}

platform::SerialQueue& queue() {
  // Made first, the folder outlives the queue, whose last lines are written at process exit.
  logDirectory();
  static platform::SerialQueue queue("velto-voice-app.log");
  return queue;
}

std::string demangled(const std::type_info& type) {
  int status = 0;
  std::unique_ptr<char, decltype(&std::free)> name(
      abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), &std::free);
  return status == 0 && name ? std::string(name.get()) : std::string(type.name());
}

void rotateIfLarge(const std::filesystem::path& current, const std::filesystem::path& previous) {
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(current, error);
  if (error || size <= kRotationBytes) return;
  std::filesystem::remove(previous, error);
  std::filesystem::rename(current, previous, error);
}

void appendBytes(const std::filesystem::path& file, std::string_view bytes) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) break;
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  ::close(fd);
}

// Runs on the log's queue. Every failure costs at most this line; the next one starts afresh.
void writeLine(const std::string& line) {
  const std::filesystem::path& folder = logDirectory();
  std::error_code ignored;
  std::filesystem::create_directories(folder, ignored);
  const std::filesystem::path current = folder / "veltovoice.log";
  rotateIfLarge(current, folder / "veltovoice.1.log");
  appendBytes(current, line);
}

void log(std::string_view level, platform::SystemLog::Level type, std::string_view message) {
  std::string line = formatLine(level, version(), std::chrono::system_clock::now(), message);
  queue().async([line = std::move(line)] { writeLine(line); });
  if (platform::SystemLog::isEnabled(type)) {
    platform::SystemLog::write(type, kSubsystem, kCategory, message);
  }
}

}  // namespace

void info(std::string_view message) { log("INFO", platform::SystemLog::Level::info, message); }

void error(std::string_view message) { log("ERROR", platform::SystemLog::Level::error, message); }

std::string describe(const std::exception& error) {
  if (const auto* refusal = dynamic_cast<const devadevev::LiveTranscriber::Failure*>(&error);
      refusal && !refusal->detail().empty()) {
    return fmt::format("{} {}#{}: {}（{}）", refusal->typeName(), refusal->domain(), refusal->code(),
                       refusal->description(), refusal->detail());
  }
  if (const auto* ours = dynamic_cast<const platform::Error*>(&error)) {
    return fmt::format("{} {}#{}: {}", ours->typeName(), ours->domain(), ours->code(),
                       ours->description());
  }
  if (const auto* system = dynamic_cast<const std::system_error*>(&error)) {
    return fmt::format("{} {}#{}: {}", demangled(typeid(error)), system->code().category().name(),
                       system->code().value(), system->what());
  }
  return fmt::format("{} std#0: {}", demangled(typeid(error)), error.what());
}

void reveal(DesktopServices& desktop) {
  const std::filesystem::path& folder = logDirectory();
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  const std::filesystem::path file = folder / "veltovoice.log";
  if (std::filesystem::exists(file, error)) {
    desktop.showFileSelected(file);
  } else {
    desktop.openFolder(folder);
  }
}

std::filesystem::path directory() { return logDirectory(); }

void flush() {
  queue().sync([] {});
}

std::string formatLine(std::string_view level, std::string_view version,
                       std::chrono::system_clock::time_point time, std::string_view message) {
  using namespace std::chrono;
  const auto sinceEpoch = time.time_since_epoch();
  const auto secs = floor<seconds>(sinceEpoch);
  const auto millis = duration_cast<milliseconds>(sinceEpoch - secs).count();
  const std::time_t whole = secs.count();
  std::tm local{};
  localtime_r(&whole, &local);

  std::string offset = "Z";
  if (local.tm_gmtoff != 0) {
    const long minutes = std::labs(local.tm_gmtoff) / 60;
    offset = fmt::format("{}{:02}:{:02}", local.tm_gmtoff < 0 ? '-' : '+', minutes / 60, minutes % 60);
  }
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}{} [{}] v{} {}\n",
                     local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                     local.tm_min, local.tm_sec, millis, offset, level,
                     version.empty() ? std::string_view("-") : version, message);
}

std::string_view version() {
#ifdef VELTO_VERSION
  return VELTO_VERSION;
#else
  return {};
#endif
}

}  // namespace veltovoice::AppLog
