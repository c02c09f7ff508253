#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace platform {

// The system log (syslog, which journald collects), in place of the unified log. Every record
// keeps a subsystem and a category beside its message. All records of the process go through one
// sink, by default syslog(3); tests put a capturing sink in its place. Safe from any thread.
namespace SystemLog {

// Record types. syslog priorities: debug LOG_DEBUG, info LOG_INFO, notice (the default type)
// LOG_NOTICE, warning LOG_WARNING, error LOG_ERR, fault LOG_CRIT.
enum class Level { debug, info, notice, warning, error, fault };

// One record as a sink receives it.
struct Record {
  Level level = Level::info;
  std::string subsystem;
  std::string category;
  std::string message;

  bool operator==(const Record&) const = default;
};

// Where records go. Implementations must be safe from any thread.
class Sink {
 public:
  virtual ~Sink() = default;

  // Whether records of `level` are kept at all; callers skip building records otherwise.
  virtual bool isEnabled(Level level) const = 0;

  virtual void write(const Record& record) = 0;
};

// The syslog(3) sink. A level is enabled when the process's syslog mask lets its priority pass.
// The line sent is "[<subsystem>.<category>] <message>"; a '%' in the message stays literal.
std::shared_ptr<Sink> makeSyslogSink();

// Puts `sink` in place of the current sink and returns the one it replaces; nullptr puts the
// syslog sink back. Records being written meanwhile finish on the sink they started with.
std::shared_ptr<Sink> replaceSink(std::shared_ptr<Sink> sink);

// The current sink, kept alive for as long as the caller holds it.
std::shared_ptr<Sink> sink();

// Whether the current sink keeps records of `level`.
bool isEnabled(Level level);

// Hands one record to the current sink (whether or not it is enabled; ask isEnabled first to skip
// the work).
void write(Level level, std::string_view subsystem, std::string_view category,
           std::string_view message);

}  // namespace SystemLog
}  // namespace platform
