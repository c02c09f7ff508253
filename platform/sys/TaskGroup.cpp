#include "platform/sys/TaskGroup.h"

namespace platform {

TaskGroup::TaskGroup(std::stop_token parent) { parentLink_.emplace(parent, StopSource{&stop_}); }

TaskGroup::~TaskGroup() {
  cancelAll();
  drain();
}

void TaskGroup::add(Task task) {
  const std::uint64_t id = nextId_++;
  std::thread thread([this, id, task = std::move(task), token = stop_.get_token()] {
    std::exception_ptr error;
    try {
      task(token);
    } catch (...) {
      error = std::current_exception();
    }
    {
      std::scoped_lock lock(mutex_);
      finished_.push_back(Finished{id, std::move(error)});
    }
    finishedChanged_.notify_all();
  });
  threads_.emplace(id, std::move(thread));
}

bool TaskGroup::next() {
  if (threads_.empty()) return false;
  Finished finished;
  {
    std::unique_lock lock(mutex_);
    finishedChanged_.wait(lock, [this] { return !finished_.empty(); });
    finished = std::move(finished_.front());
    finished_.pop_front();
  }
  auto thread = threads_.find(finished.id);
  thread->second.join();
  threads_.erase(thread);
  if (!finished.error) return true;
  cancelAll();
  drain();
  std::rethrow_exception(finished.error);
}

void TaskGroup::cancelAll() { stop_.request_stop(); }

void TaskGroup::drain() {
  for (auto& [id, thread] : threads_) thread.join();
  threads_.clear();
  std::scoped_lock lock(mutex_);
  finished_.clear();
}

}  // namespace platform
