#pragma once

#include <string_view>

namespace platform {

// The system log (syslog, which journald collects), in place of the unified log. Each line carries
// the subsystem and category in front of the message. Safe from any thread.
namespace SystemLog {

enum class Level { debug, info, notice, warning, error, fault };

// Writes one line: "[<subsystem>.<category>] <message>" at the syslog priority matching `level`.
void write(Level level, std::string_view subsystem, std::string_view category,
           std::string_view message);

}  // namespace SystemLog
}  // namespace platform
