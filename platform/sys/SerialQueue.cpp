#include "platform/sys/SerialQueue.h"

#include <pthread.h>

#include <cassert>
#include <exception>
#include <future>

namespace platform {

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)) {
  worker_ = std::thread([this] { run(); });
  // Thread names are limited to 15 bytes; the tail of the label is the telling part.
  std::string name = label_.size() > 15 ? label_.substr(label_.size() - 15) : label_;
  pthread_setname_np(worker_.native_handle(), name.c_str());
}

SerialQueue::~SerialQueue() {
  {
    std::scoped_lock lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  worker_.join();
}

void SerialQueue::async(std::function<void()> work) { enqueue(Clock::time_point::min(), std::move(work)); }

void SerialQueue::asyncAfter(Clock::duration delay, std::function<void()> work) {
  enqueue(Clock::now() + delay, std::move(work));
}

void SerialQueue::sync(const std::function<void()>& work) {
  assert(!isCurrent());
  std::promise<void> done;
  std::future<void> result = done.get_future();
  async([&work, &done] {
    try {
      work();
      done.set_value();
    } catch (...) {
      done.set_exception(std::current_exception());
    }
  });
  result.get();
}

bool SerialQueue::isCurrent() const { return std::this_thread::get_id() == worker_.get_id(); }

void SerialQueue::enqueue(Clock::time_point due, std::function<void()> work) {
  bool first = false;
  {
    std::scoped_lock lock(mutex_);
    // Immediate work goes behind everything already due, so FIFO order holds among it.
    if (due == Clock::time_point::min()) due = Clock::now();
    auto item = items_.emplace(std::make_pair(due, nextSequence_++), std::move(work)).first;
    first = item == items_.begin();
  }
  // The worker only sleeps on an empty queue or a first item not yet due; behind a due item it is
  // awake already, and sparing the wake-up keeps bursts of work cheap for the callers.
  if (first) wake_.notify_one();
}

void SerialQueue::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (items_.empty()) {
      if (stopping_) return;
      wake_.wait(lock);
      continue;
    }
    auto first = items_.begin();
    const Clock::time_point now = Clock::now();
    if (first->first.first > now) {
      // Delayed work is dropped once the queue is going away.
      if (stopping_) return;
      wake_.wait_until(lock, first->first.first);
      continue;
    }
    std::function<void()> work = std::move(first->second);
    items_.erase(first);
    lock.unlock();
    try {
      work();
    } catch (...) {
      // Nothing may leave the worker thread; async work reports its own failures.
    }
    lock.lock();
  }
}

}  // namespace platform
