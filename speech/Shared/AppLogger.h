#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tesselaudio {

// The speech library's logger. Every component holds one made with its own category and writes
// through the six level methods. A message at or above the process-wide minimum level goes to the
// system log as (subsystem, category, type, message); warnings and worse are also written to
// standard error as one line:
//
//   [HH:mm:ss.SSS] [LEVEL] [TesselAudio.<category>] <message>\n
//
// with the local time, the level's console label (WARN for warning) and the message unchanged.
// A value type, copied freely; safe from any thread. The process-wide settings sit behind one
// mutex that is never held while writing.
//
//   AppLogger logger("ASR");
//   logger.info("loaded");         // system log only
//   logger.error("decoder broke"); // system log, then standard error
class AppLogger {
 public:
  enum class Level { debug = 0, info = 1, notice = 2, warning = 3, error = 4, fault = 5 };

  // The process-wide settings shared by all loggers.
  struct Configuration {
    Level minimumLevel = Level::debug;
    bool mirrorsToConsole = true;

    bool operator==(const Configuration&) const = default;
  };

  // The level with raw value `rawValue` (0 to 5), or nothing for any other value.
  static std::optional<Level> levelFromRawValue(int rawValue);

  // The label of `level` in console lines: DEBUG, INFO, NOTICE, WARN, ERROR, FAULT.
  static std::string_view consoleLabel(Level level);

  // A logger for `category` in the current default subsystem (read now; a later change of the
  // default does not reach this logger).
  explicit AppLogger(std::string category);
  AppLogger(std::string subsystem, std::string category);

  const std::string& subsystem() const { return subsystem_; }
  const std::string& category() const { return category_; }

  // None of these throws or returns anything.
  void debug(std::string_view message) const { log(Level::debug, message); }
  void info(std::string_view message) const { log(Level::info, message); }
  void notice(std::string_view message) const { log(Level::notice, message); }
  void warning(std::string_view message) const { log(Level::warning, message); }
  void error(std::string_view message) const { log(Level::error, message); }
  void fault(std::string_view message) const { log(Level::fault, message); }
  // The same with the level chosen at run time.
  void log(Level level, std::string_view message) const;

  // Process-wide settings; each read or write takes the settings mutex once. Defaults: debug and
  // true. A read-modify-write through them is two separate steps, not one atomic one.
  static Level minimumLevel();
  static void setMinimumLevel(Level level);
  static bool mirrorsToConsole();
  static void setMirrorsToConsole(bool mirrors);

  // The subsystem of loggers made with a category alone; "tessel-inference" at start.
  static std::string defaultSubsystem();
  static void setDefaultSubsystem(std::string subsystem);

 private:
  std::string subsystem_;
  std::string category_;
};

}  // namespace tesselaudio
