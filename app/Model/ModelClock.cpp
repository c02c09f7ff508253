#include "app/Model/ModelClock.h"

#include <cmath>
#include <coroutine>
#include <functional>
#include <optional>

#include <QCoreApplication>
#include <QTimer>

namespace veltovoice {

namespace {

// One sleeping coroutine, woken once: by its timer or, through the event loop, by its stop token.
struct Sleeper {
  std::coroutine_handle<> handle;
  bool woken = false;
  std::optional<std::stop_callback<std::function<void()>>> onStop;

  void wake() {
    if (woken) return;
    woken = true;
    handle.resume();
  }
};

class TimerAwaiter {
 public:
  TimerAwaiter(double seconds, std::stop_token stop) : seconds_(seconds), stop_(std::move(stop)) {}

  bool await_ready() const { return stop_.stop_requested() || !(seconds_ > 0); }

  void await_suspend(std::coroutine_handle<> handle) {
    sleeper_ = std::make_shared<Sleeper>();
    sleeper_->handle = handle;
    std::weak_ptr<Sleeper> weak = sleeper_;
    const double ms = std::ceil(seconds_ * 1000.0);
    const int timeoutMs = ms > 2e9 ? 2000000000 : static_cast<int>(ms);
    QTimer::singleShot(timeoutMs, Qt::PreciseTimer, [weak] {
      if (auto sleeper = weak.lock()) sleeper->wake();
    });
    // A stop may come from any thread; the wake-up itself always happens on the event loop.
    sleeper_->onStop.emplace(stop_, std::function<void()>([weak] {
      QCoreApplication* app = QCoreApplication::instance();
      if (!app) return;
      QMetaObject::invokeMethod(
          app,
          [weak] {
            if (auto sleeper = weak.lock()) sleeper->wake();
          },
          Qt::QueuedConnection);
    }));
  }

  void await_resume() const {}

 private:
  double seconds_;
  std::stop_token stop_;
  std::shared_ptr<Sleeper> sleeper_;
};

class SystemClock : public ModelClock {
 public:
  std::chrono::system_clock::time_point now() const override {
    return std::chrono::system_clock::now();
  }

  QCoro::Task<> sleep(double seconds, std::stop_token stop) override {
    co_await TimerAwaiter(seconds, std::move(stop));
  }
};

}  // namespace

ModelClock::~ModelClock() = default;

std::shared_ptr<ModelClock> ModelClock::system() { return std::make_shared<SystemClock>(); }

}  // namespace veltovoice
