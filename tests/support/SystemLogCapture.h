#pragma once

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/sys/SystemLog.h"

namespace testsupport {

// Replaces the process's system-log sink for its lifetime and keeps every record written
// meanwhile; the previous sink comes back on destruction. Safe from any thread.
class SystemLogCapture {
 public:
  SystemLogCapture();
  ~SystemLogCapture();
  SystemLogCapture(const SystemLogCapture&) = delete;
  SystemLogCapture& operator=(const SystemLogCapture&) = delete;

  // The records so far, in the order they were written.
  std::vector<platform::SystemLog::Record> records() const;

  // The messages of the records of one logger category so far, in order.
  std::vector<std::string> messages(const std::string& category) const;

  // Makes the sink report `level` as disabled (as a syslog mask would), or enabled again.
  void setEnabled(platform::SystemLog::Level level, bool enabled);

 private:
  class Sink;
  std::shared_ptr<Sink> sink_;
  std::shared_ptr<platform::SystemLog::Sink> previous_;
};

}  // namespace testsupport
