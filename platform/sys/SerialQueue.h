#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace platform {

// A labelled serial queue: one worker thread runs the work handed to it one item at a time, in the
// order it was queued (work given a delay runs once it is due, in order of due time). Safe from any
// thread. Destroying the queue runs the items already due, drops delayed ones and joins the worker.
class SerialQueue {
 public:
  using Clock = std::chrono::steady_clock;

  explicit SerialQueue(std::string label);
  ~SerialQueue();

  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  const std::string& label() const { return label_; }

  // Queues `work` and returns at once. An exception thrown by `work` is dropped.
  void async(std::function<void()> work);

  // Queues `work` to run once `delay` has passed (after everything already due by then). Returns at
  // once. An exception thrown by `work` is dropped.
  void asyncAfter(Clock::duration delay, std::function<void()> work);

  // Runs `work` on the queue after everything queued before it and waits for it; an exception thrown
  // by `work` is rethrown here.
  // REQUIRES: not called from work running on this queue (that would wait for itself).
  void sync(const std::function<void()>& work);

  // True when called from work running on this queue.
  bool isCurrent() const;

 private:
  void enqueue(Clock::time_point due, std::function<void()> work);
  void run();

  // Constant after construction.
  const std::string label_;

  // Guarded by mutex_. Keyed by (due time, sequence number) so that equal times keep FIFO order.
  std::mutex mutex_;
  std::condition_variable wake_;
  std::map<std::pair<Clock::time_point, std::uint64_t>, std::function<void()>> items_;
  std::uint64_t nextSequence_ = 0;
  bool stopping_ = false;

  std::thread worker_;
};

}  // namespace platform
