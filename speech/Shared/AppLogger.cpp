#include "speech/Shared/AppLogger.h"

#include <chrono>
#include <mutex>
#include <system_error>
#include <utility>

#include "platform/sys/SystemLog.h"
#include "speech/Shared/LogConsole.h"

namespace tesselaudio {
namespace {

struct Settings {
  std::mutex mutex;
  AppLogger::Configuration configuration;
};

// Constant-initialised, with nothing to destroy: usable before main and during static destruction,
// and a suppressed message costs no initialisation check.
constinit Settings gSettings;

Settings& settings() { return gSettings; }

struct DefaultSubsystem {
  std::mutex mutex;
  std::string value = "tessel-inference";
};

// Its own mutex: a std::string read while another thread assigns it would be a data race.
DefaultSubsystem& defaultSubsystemHolder() {
  static DefaultSubsystem* instance = new DefaultSubsystem;
  return *instance;
}

platform::SystemLog::Level messageType(AppLogger::Level level) {
  using Type = platform::SystemLog::Level;
  switch (level) {
    case AppLogger::Level::debug: return Type::debug;
    case AppLogger::Level::info: return Type::info;
    case AppLogger::Level::notice: return Type::notice;
    case AppLogger::Level::warning: return Type::error;
    case AppLogger::Level::error: return Type::error;
    case AppLogger::Level::fault: return Type::fault;
  }
  return Type::notice;
}

}  // namespace

std::optional<AppLogger::Level> AppLogger::levelFromRawValue(int rawValue) {
  if (rawValue < 0 || rawValue > 5) return std::nullopt;
  return static_cast<Level>(rawValue);
}

std::string_view AppLogger::consoleLabel(Level level) {
  switch (level) {
    case Level::debug: return "DEBUG";
    case Level::info: return "INFO";
    case Level::notice: return "NOTICE";
    case Level::warning: return "WARN";
    case Level::error: return "ERROR";
    case Level::fault: return "FAULT";
  }
  return "";
}

AppLogger::AppLogger(std::string category)
    : AppLogger(defaultSubsystem(), std::move(category)) {}

AppLogger::AppLogger(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

AppLogger::Level AppLogger::minimumLevel() {
  Settings& s = settings();
  std::scoped_lock lock(s.mutex);
  return s.configuration.minimumLevel;
}

void AppLogger::setMinimumLevel(Level level) {
  Settings& s = settings();
  std::scoped_lock lock(s.mutex);
  s.configuration.minimumLevel = level;
}

bool AppLogger::mirrorsToConsole() {
  Settings& s = settings();
  std::scoped_lock lock(s.mutex);
  return s.configuration.mirrorsToConsole;
}

void AppLogger::setMirrorsToConsole(bool mirrors) {
  Settings& s = settings();
  std::scoped_lock lock(s.mutex);
  s.configuration.mirrorsToConsole = mirrors;
}

std::string AppLogger::defaultSubsystem() {
  DefaultSubsystem& d = defaultSubsystemHolder();
  std::scoped_lock lock(d.mutex);
  return d.value;
}

void AppLogger::setDefaultSubsystem(std::string subsystem) {
  DefaultSubsystem& d = defaultSubsystemHolder();
  std::scoped_lock lock(d.mutex);
  d.value = std::move(subsystem);
}

void AppLogger::log(Level level, std::string_view message) const {
  Configuration configuration;
  {
    Settings& s = settings();
    std::scoped_lock lock(s.mutex);
    configuration = s.configuration;
  }
  if (level < configuration.minimumLevel) return;

  const auto type = messageType(level);
  const auto sink = platform::SystemLog::sink();
  if (sink->isEnabled(type)) {
    sink->write({type, subsystem_, category_, std::string(message)});
  }

  if (!configuration.mirrorsToConsole || level < Level::warning) return;
  const std::string line =
      LogConsole::line(level, category_, message, std::chrono::system_clock::now());
  try {
    detail::writeStandardError(line);
  } catch (const std::system_error& e) {
    detail::printStandardOutput(std::string("Failed to write to stderr: ") + e.code().message());
  }
}

}  // namespace tesselaudio
