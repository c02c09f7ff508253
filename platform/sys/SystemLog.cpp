#include "platform/sys/SystemLog.h"

#include <syslog.h>

#include <string>

namespace platform::SystemLog {
namespace {

int priority(Level level) {
  switch (level) {
    case Level::debug: return LOG_DEBUG;
    case Level::info: return LOG_INFO;
    case Level::notice: return LOG_NOTICE;
    case Level::warning: return LOG_WARNING;
    case Level::error: return LOG_ERR;
    case Level::fault: return LOG_CRIT;
  }
  return LOG_INFO;
}

}  // namespace

void write(Level level, std::string_view subsystem, std::string_view category,
           std::string_view message) {
  std::string line;
  line.reserve(subsystem.size() + category.size() + message.size() + 4);
  line.append("[").append(subsystem).append(".").append(category).append("] ").append(message);
  // LOG_USER with the program's own name; "%s" keeps any '%' in the message literal.
  syslog(LOG_USER | priority(level), "%s", line.c_str());
}

}  // namespace platform::SystemLog
