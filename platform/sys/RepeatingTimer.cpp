#include "platform/sys/RepeatingTimer.h"

#include <algorithm>
#include <mutex>
#include <utility>

#include "platform/sys/SerialQueue.h"

namespace platform {

struct RepeatingTimer::State {
  SerialQueue* queue = nullptr;
  std::chrono::nanoseconds interval{};
  std::function<void()> handler;

  std::mutex mutex;
  bool cancelled = false;  // guarded by mutex
};

namespace {

void schedule(const std::shared_ptr<RepeatingTimer::State>& state, SerialQueue::Clock::time_point due);

void tick(const std::shared_ptr<RepeatingTimer::State>& state, SerialQueue::Clock::time_point due) {
  {
    std::scoped_lock lock(state->mutex);
    if (state->cancelled) return;
  }
  state->handler();
  schedule(state, due + state->interval);
}

void schedule(const std::shared_ptr<RepeatingTimer::State>& state, SerialQueue::Clock::time_point due) {
  std::scoped_lock lock(state->mutex);
  if (state->cancelled) return;
  state->queue->asyncAfter(due - SerialQueue::Clock::now(), [state, due] { tick(state, due); });
}

}  // namespace

RepeatingTimer::RepeatingTimer(SerialQueue& queue, std::chrono::nanoseconds interval,
                               std::function<void()> handler)
    : state_(std::make_shared<State>()) {
  state_->queue = &queue;
  state_->interval = std::max(interval, std::chrono::nanoseconds(1));
  state_->handler = std::move(handler);
  schedule(state_, SerialQueue::Clock::now() + state_->interval);
}

RepeatingTimer::~RepeatingTimer() { cancel(); }

void RepeatingTimer::cancel() {
  std::scoped_lock lock(state_->mutex);
  state_->cancelled = true;
}

}  // namespace platform
