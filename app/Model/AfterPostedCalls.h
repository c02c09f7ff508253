#pragma once

#include <coroutine>
#include <utility>

#include <QCoroFuture>
#include <QCoroTask>
#include <QFuture>

namespace veltovoice {

// An awaitable for the GUI thread that resumes there once every call already posted to that thread
// has run. A coroutine that awaits a worker's future does not suspend when the worker has already
// finished, so calls the worker posted before finishing (progress, results) would otherwise run
// after the code that follows the wait.
struct AfterPostedCalls {
  bool await_ready() const noexcept { return false; }
  void await_suspend(std::coroutine_handle<> waiting) const;
  void await_resume() const noexcept {}
};

// The result of `future` once it has finished and the calls it posted to the GUI thread have run.
// GUI thread only.
template <typename T>
QCoro::Task<T> settled(QFuture<T> future) {
  T value = co_await future;
  co_await AfterPostedCalls{};
  co_return value;
}

inline QCoro::Task<> settled(QFuture<void> future) {
  co_await future;
  co_await AfterPostedCalls{};
}

}  // namespace veltovoice
