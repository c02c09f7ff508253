#include "platform/sys/Sleep.h"

#include <condition_variable>
#include <mutex>

#include "platform/sys/CancellationError.h"

namespace platform {

void sleepFor(std::chrono::nanoseconds duration, std::stop_token token) {
  std::mutex mutex;
  std::condition_variable_any wakeUp;
  std::unique_lock lock(mutex);
  // Waits on a condition variable so that a stop wakes the sleeper immediately.
  const auto now = std::chrono::steady_clock::now();
  const auto room = std::chrono::steady_clock::time_point::max() - now;
  const auto deadline = duration < room ? now + duration : std::chrono::steady_clock::time_point::max();
  wakeUp.wait_until(lock, token, deadline, [] { return false; });
  CancellationError::throwIfRequested(token);
}

}  // namespace platform
