#include "platform/sys/RepeatingTimer.h"

#include <atomic>
#include <chrono>
#include <future>
#include <vector>

#include <gtest/gtest.h>

#include "platform/sys/SerialQueue.h"

namespace platform {
namespace {

using namespace std::chrono_literals;

TEST(RepeatingTimerTest, TicksUntilCancelledFromItsOwnHandler) {
  SerialQueue queue("test.timer");
  std::atomic<int> ticks = 0;
  std::promise<void> third;
  RepeatingTimer* self = nullptr;
  RepeatingTimer timer(queue, 2ms, [&] {
    if (++ticks == 3) {
      self->cancel();
      third.set_value();
    }
  });
  self = &timer;
  ASSERT_EQ(third.get_future().wait_for(10s), std::future_status::ready);
  // A tick after the cancel would show up once the queue has run everything due so far.
  std::promise<void> drained;
  queue.asyncAfter(10ms, [&] { drained.set_value(); });
  drained.get_future().wait();
  EXPECT_EQ(ticks, 3);
}

TEST(RepeatingTimerTest, DestroyedTimerNeverTicks) {
  SerialQueue queue("test.timer");
  std::atomic<int> ticks = 0;
  // An interval far above any scheduling pause between making and dropping the timer.
  { RepeatingTimer timer(queue, 100ms, [&] { ++ticks; }); }
  std::promise<void> drained;
  queue.asyncAfter(250ms, [&] { drained.set_value(); });
  drained.get_future().wait();
  EXPECT_EQ(ticks, 0);
}

}  // namespace
}  // namespace platform
