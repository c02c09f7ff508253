#include "app/Model/ModelClock.h"

#include <cmath>
#include <coroutine>

#include <QTimer>

#include "app/Model/ClockSleeper.h"

namespace veltovoice {

namespace {

class TimerAwaiter {
 public:
  TimerAwaiter(double seconds, std::stop_token stop) : seconds_(seconds), stop_(std::move(stop)) {}

  bool await_ready() const { return stop_.stop_requested() || !(seconds_ > 0); }

  void await_suspend(std::coroutine_handle<> handle) {
    sleeper_ = std::make_shared<ClockSleeper>();
    sleeper_->handle = handle;
    std::weak_ptr<ClockSleeper> weak = sleeper_;
    const double ms = std::ceil(seconds_ * 1000.0);
    const int timeoutMs = ms > 2e9 ? 2000000000 : static_cast<int>(ms);
    QTimer::singleShot(timeoutMs, Qt::PreciseTimer, [weak] {
      if (auto sleeper = weak.lock()) sleeper->wake();
    });
    ClockSleeper::wakeOnStop(sleeper_, stop_);
  }

  void await_resume() const {}

 private:
  double seconds_;
  std::stop_token stop_;
  std::shared_ptr<ClockSleeper> sleeper_;
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
