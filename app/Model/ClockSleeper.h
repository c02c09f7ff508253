#pragma once

#include <atomic>
#include <coroutine>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>

namespace veltovoice {

// One coroutine sleeping on a ModelClock, woken once: by the clock when its time comes or, through
// the event loop, by its stop token. Shared by the system clock and the clocks tests advance.
struct ClockSleeper {
  std::coroutine_handle<> handle;
  bool woken = false;
  // Set at once by a stop from any thread; the wake-up follows on the event loop.
  std::atomic<bool> stopped = false;
  std::optional<std::stop_callback<std::function<void()>>> onStop;

  // Resumes the coroutine unless it was woken already. GUI thread only.
  void wake();

  // Wakes `sleeper` on the event loop once `stop` is requested, whichever thread requests it.
  static void wakeOnStop(const std::shared_ptr<ClockSleeper>& sleeper, std::stop_token stop);
};

}  // namespace veltovoice
