#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace platform {

class SerialQueue;

// Calls a handler on a serial queue `interval` after it is made and then every `interval` (ticks
// keep their schedule; a late tick does not shift the next ones). cancel() from any thread, the
// handler included, stops further ticks; a tick already running finishes. Destruction cancels.
// REQUIRES: the queue outlives the timer's last tick (a process-wide queue does).
class RepeatingTimer {
 public:
  RepeatingTimer(SerialQueue& queue, std::chrono::nanoseconds interval, std::function<void()> handler);
  ~RepeatingTimer();

  RepeatingTimer(const RepeatingTimer&) = delete;
  RepeatingTimer& operator=(const RepeatingTimer&) = delete;

  void cancel();

  // Shared with the queued ticks; opaque.
  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace platform
