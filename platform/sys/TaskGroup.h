#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>
#include <utility>

namespace platform {

// A group of tasks running at once, each on a thread of its own, that end together: the stand-in
// for a structured task group. Every task receives the group's stop token, which is requested when
// the parent token is, when cancelAll() is called, when a failed task is collected by next(), and on
// destruction. The owner adds tasks and collects them from one thread; the tasks run on theirs.
//
//   platform::TaskGroup group(stop);
//   for (std::size_t i = 0; i < window; ++i) group.add(work(i));
//   while (group.next()) if (more()) group.add(work(following()));
class TaskGroup {
 public:
  using Task = std::function<void(std::stop_token)>;

  explicit TaskGroup(std::stop_token parent = {});
  // Cancels the tasks still running and waits for them; their outcomes are dropped.
  ~TaskGroup();

  TaskGroup(const TaskGroup&) = delete;
  TaskGroup& operator=(const TaskGroup&) = delete;

  // Starts `task` on a new thread. A task added after cancellation still starts, with its token
  // already stopped.
  // Throws std::system_error when no thread can be made.
  void add(Task task);

  // Waits until some task ends and collects it, in the order the tasks ended. Returns true for a
  // task that succeeded, false when no task is left.
  // Throws the exception of a task that failed, after cancelling the other tasks and waiting for
  // them to end (their outcomes are dropped).
  bool next();

  // Requests stop on every task of the group, running or added later.
  void cancelAll();

  // The number of tasks added and not yet collected.
  std::size_t size() const { return threads_.size(); }

 private:
  struct StopSource {
    std::stop_source* source;
    void operator()() const { source->request_stop(); }
  };
  struct Finished {
    std::uint64_t id = 0;
    std::exception_ptr error;
  };

  // Waits for every task still running and drops their outcomes.
  void drain();

  // Constant after construction.
  std::stop_source stop_;
  std::optional<std::stop_callback<StopSource>> parentLink_;

  // Touched by the owner's thread only.
  std::map<std::uint64_t, std::thread> threads_;
  std::uint64_t nextId_ = 0;

  std::mutex mutex_;
  std::condition_variable finishedChanged_;
  std::deque<Finished> finished_;  // guarded by mutex_
};

}  // namespace platform
