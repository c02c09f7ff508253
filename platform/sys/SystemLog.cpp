#include "platform/sys/SystemLog.h"

#include <syslog.h>

#include <mutex>
#include <utility>

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

class SyslogSink : public Sink {
 public:
  bool isEnabled(Level level) const override {
    // setlogmask(0) reads the mask without changing it.
    return (setlogmask(0) & LOG_MASK(priority(level))) != 0;
  }

  void write(const Record& record) override {
    std::string line;
    line.reserve(record.subsystem.size() + record.category.size() + record.message.size() + 4);
    line.append("[").append(record.subsystem).append(".").append(record.category).append("] ");
    line.append(record.message);
    syslog(LOG_USER | priority(record.level), "%s", line.c_str());
  }
};

struct Registry {
  std::mutex mutex;
  std::shared_ptr<Sink> sink = makeSyslogSink();
};

// Never destroyed, so that loggers running during static destruction still find a sink.
Registry& registry() {
  static Registry* instance = new Registry;
  return *instance;
}

}  // namespace

std::shared_ptr<Sink> sink() {
  Registry& r = registry();
  std::scoped_lock lock(r.mutex);
  return r.sink;
}

std::shared_ptr<Sink> makeSyslogSink() { return std::make_shared<SyslogSink>(); }

std::shared_ptr<Sink> replaceSink(std::shared_ptr<Sink> sink) {
  if (!sink) sink = makeSyslogSink();
  Registry& r = registry();
  std::scoped_lock lock(r.mutex);
  return std::exchange(r.sink, std::move(sink));
}

bool isEnabled(Level level) { return sink()->isEnabled(level); }

void write(Level level, std::string_view subsystem, std::string_view category,
           std::string_view message) {
  sink()->write(
      Record{level, std::string(subsystem), std::string(category), std::string(message)});
}

}  // namespace platform::SystemLog
