#include "platform/sys/Signposter.h"

#include <atomic>
#include <utility>

#include <fmt/format.h>

#include "platform/sys/SystemLog.h"

namespace platform {
namespace {

std::uint64_t nextIntervalId() {
  static std::atomic<std::uint64_t> counter{0};
  return counter.fetch_add(1, std::memory_order_relaxed) + 1;
}

}  // namespace

Signposter::Signposter(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

Signposter::Interval Signposter::beginInterval(std::string name) const {
  const std::uint64_t id = nextIntervalId();
  write("begin", name, id);
  return Interval(this, std::move(name), id);
}

void Signposter::write(const char* event, const std::string& name, std::uint64_t id) const {
  if (!SystemLog::isEnabled(SystemLog::Level::debug)) return;
  SystemLog::write(SystemLog::Level::debug, subsystem_, category_, fmt::format("{} #{} {}", event, id, name));
}

Signposter::Interval::Interval(const Signposter* signposter, std::string name, std::uint64_t id)
    : signposter_(signposter), name_(std::move(name)), id_(id) {}

Signposter::Interval::Interval(Interval&& other) noexcept
    : signposter_(std::exchange(other.signposter_, nullptr)), name_(std::move(other.name_)), id_(other.id_) {}

Signposter::Interval& Signposter::Interval::operator=(Interval&& other) noexcept {
  if (this != &other) {
    end();
    signposter_ = std::exchange(other.signposter_, nullptr);
    name_ = std::move(other.name_);
    id_ = other.id_;
  }
  return *this;
}

Signposter::Interval::~Interval() { end(); }

void Signposter::Interval::end() {
  if (!signposter_) return;
  // A failing log write must not leave a destructor.
  try {
    signposter_->write("end", name_, id_);
  } catch (...) {
  }
  signposter_ = nullptr;
}

}  // namespace platform
