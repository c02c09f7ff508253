#include "tests/support/ManualClock.h"

#include <algorithm>

#include "app/Model/ClockSleeper.h"

namespace testsupport {

struct ManualClock::Sleeper : veltovoice::ClockSleeper {
  double deadline = 0;
  std::uint64_t order = 0;
};

class ManualClock::Awaiter {
 public:
  Awaiter(ManualClock& clock, double seconds, std::stop_token stop)
      : clock_(clock), seconds_(seconds), stop_(std::move(stop)) {}

  bool await_ready() const { return stop_.stop_requested() || !(seconds_ > 0); }

  void await_suspend(std::coroutine_handle<> handle) {
    sleeper_ = std::make_shared<Sleeper>();
    sleeper_->deadline = clock_.elapsed_ + seconds_;
    sleeper_->order = clock_.nextOrder_++;
    sleeper_->handle = handle;
    clock_.sleepers_.push_back(sleeper_);
    veltovoice::ClockSleeper::wakeOnStop(sleeper_, stop_);
  }

  void await_resume() const {}

 private:
  ManualClock& clock_;
  double seconds_;
  std::stop_token stop_;
  std::shared_ptr<Sleeper> sleeper_;
};

ManualClock::ManualClock(std::chrono::system_clock::time_point start) : start_(start) {}

ManualClock::~ManualClock() {
  while (!sleepers_.empty()) {
    auto sleeper = sleepers_.front();
    sleepers_.erase(sleepers_.begin());
    sleeper->wake();
  }
}

std::chrono::system_clock::time_point ManualClock::now() const {
  return start_ + std::chrono::duration_cast<std::chrono::system_clock::duration>(
                      std::chrono::duration<double>(elapsed_));
}

QCoro::Task<> ManualClock::sleep(double seconds, std::stop_token stop) {
  co_await Awaiter(*this, seconds, std::move(stop));
}

void ManualClock::advance(double seconds) {
  const double target = elapsed_ + seconds;
  for (;;) {
    std::erase_if(sleepers_, [](const auto& s) { return s->woken; });
    const auto next = std::min_element(sleepers_.begin(), sleepers_.end(), [](const auto& a, const auto& b) {
      return a->deadline != b->deadline ? a->deadline < b->deadline : a->order < b->order;
    });
    if (next == sleepers_.end() || (*next)->deadline > target) break;
    auto sleeper = *next;
    sleepers_.erase(next);
    elapsed_ = std::max(elapsed_, sleeper->deadline);
    sleeper->wake();
  }
  elapsed_ = target;
}

int ManualClock::pendingSleeps() const {
  return static_cast<int>(std::count_if(sleepers_.begin(), sleepers_.end(),
                                        [](const auto& s) { return !s->woken && !s->stopped; }));
}

std::chrono::system_clock::time_point ManualClock::defaultStart() {
  return std::chrono::system_clock::time_point(std::chrono::milliseconds(1741151229000));
}

}  // namespace testsupport
