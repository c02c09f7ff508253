#include "tests/support/SystemLogCapture.h"

#include <mutex>

namespace testsupport {

using platform::SystemLog::Level;
using platform::SystemLog::Record;

class SystemLogCapture::Sink : public platform::SystemLog::Sink {
 public:
  bool isEnabled(Level level) const override {
    std::scoped_lock lock(mutex_);
    return !disabled_.contains(level);
  }

  void write(const Record& record) override {
    std::scoped_lock lock(mutex_);
    records_.push_back(record);
  }

  std::vector<Record> records() const {
    std::scoped_lock lock(mutex_);
    return records_;
  }

  void setEnabled(Level level, bool enabled) {
    std::scoped_lock lock(mutex_);
    if (enabled) {
      disabled_.erase(level);
    } else {
      disabled_.insert(level);
    }
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Record> records_;
  std::set<Level> disabled_;
};

SystemLogCapture::SystemLogCapture()
    : sink_(std::make_shared<Sink>()), previous_(platform::SystemLog::replaceSink(sink_)) {}

SystemLogCapture::~SystemLogCapture() { platform::SystemLog::replaceSink(previous_); }

std::vector<Record> SystemLogCapture::records() const { return sink_->records(); }

std::vector<std::string> SystemLogCapture::messages(const std::string& category) const {
  std::vector<std::string> out;
  for (const Record& record : records()) {
    if (record.category == category) out.push_back(record.message);
  }
  return out;
}

void SystemLogCapture::setEnabled(Level level, bool enabled) { sink_->setEnabled(level, enabled); }

}  // namespace testsupport
