#pragma once

#include <chrono>
#include <exception>
#include <filesystem>
#include <string>
#include <string_view>

namespace veltovoice {

class DesktopServices;

// The application's log. Each call writes one line to the log file and the message to the system
// log (subsystem "velto-voice-app", category "app"). The folder is $XDG_DATA_HOME/VeltoVoice/Logs
// (~/.local/share when XDG_DATA_HOME is unset), read once on first use. One line of the file:
//
//   2025-03-05T14:07:09.123+09:00 [INFO] v1.0 <message>\n
//
// the local time with milliseconds and the zone's offset ("Z" at offset 0), the level INFO or
// ERROR, "v" and the program's version ("-" when the build has none), the message as given (a line
// feed inside it stays). "veltovoice.log" holding more than 2,000,000 bytes becomes
// "veltovoice.1.log" (one generation) before the next line is written.
//
// info(), error() and describe() are safe from any thread, return at once and never fail: the line
// is built on the caller's thread and written on the serial queue "velto-voice-app.log", so lines
// keep the order of the calls and a failed write costs only that line.
namespace AppLog {

// Queues an INFO line for the file, then writes the message to the system log at the info type.
void info(std::string_view message);

// Queues an ERROR line for the file, then writes the message to the system log at the error type.
void error(std::string_view message);

// "<type> <domain>#<code>: <description>" for any error: the four pieces of the project's error
// base; for a std::system_error its type, category name, value and what(); for any other exception
// its type, "std", 0 and what(). A recogniser refusal with a detail (the models folder and why)
// ends with that detail in "（）".
std::string describe(const std::exception& error);

// Creates the log folder when missing, then shows the log file selected in the file browser, or
// opens the folder when there is no log file yet. GUI thread; never fails.
void reveal(DesktopServices& desktop);

// The log folder.
std::filesystem::path directory();

// Waits until every line queued before the call has been written (or lost).
// REQUIRES: not called from the log's own queue.
void flush();

// One line of the file, with its final line feed. An empty `version` is written as "-".
std::string formatLine(std::string_view level, std::string_view version,
                       std::chrono::system_clock::time_point time, std::string_view message);

// The program's version from the build, or empty when the build has none.
std::string_view version();

}  // namespace AppLog
}  // namespace veltovoice
