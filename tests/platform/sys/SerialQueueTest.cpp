#include "platform/sys/SerialQueue.h"

#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace platform {
namespace {

using namespace std::chrono_literals;

TEST(SerialQueueTest, SyncRunsAfterEverythingQueuedBefore) {
  SerialQueue queue("test.order");
  std::vector<int> seen;  // touched only on the queue
  for (int i = 0; i < 1000; ++i) queue.async([&seen, i] { seen.push_back(i); });
  std::size_t countAtSync = 0;
  queue.sync([&] { countAtSync = seen.size(); });
  ASSERT_EQ(countAtSync, 1000u);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(seen[i], i);
}

TEST(SerialQueueTest, KeepsEachThreadsOrderAndRunsOneItemAtATime) {
  SerialQueue queue("test.threads");
  constexpr int kThreads = 8;
  constexpr int kItems = 500;
  std::vector<std::pair<int, int>> seen;
  int running = 0;
  bool overlapped = false;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kItems; ++i) {
        queue.async([&, t, i] {
          overlapped |= ++running > 1;
          seen.emplace_back(t, i);
          --running;
        });
      }
    });
  }
  for (auto& thread : threads) thread.join();
  queue.sync([] {});
  EXPECT_FALSE(overlapped);
  ASSERT_EQ(seen.size(), std::size_t{kThreads * kItems});
  std::vector<int> next(kThreads, 0);
  for (auto [t, i] : seen) ASSERT_EQ(i, next[t]++) << "thread " << t;
}

TEST(SerialQueueTest, SyncRethrowsAndAsyncFailuresDoNotStopTheQueue) {
  SerialQueue queue("test.errors");
  queue.async([] { throw std::runtime_error("dropped"); });
  EXPECT_THROW(queue.sync([] { throw std::runtime_error("seen"); }), std::runtime_error);
  bool ran = false;
  queue.sync([&] { ran = true; });
  EXPECT_TRUE(ran);
}

TEST(SerialQueueTest, WorkRunsOnTheQueuesOwnThread) {
  SerialQueue queue("velto-voice-app.writer");
  EXPECT_EQ(queue.label(), "velto-voice-app.writer");
  EXPECT_FALSE(queue.isCurrent());
  bool current = false;
  std::thread::id worker;
  queue.sync([&] {
    current = queue.isCurrent();
    worker = std::this_thread::get_id();
  });
  EXPECT_TRUE(current);
  EXPECT_NE(worker, std::this_thread::get_id());
}

TEST(SerialQueueTest, DelayedWorkRunsAfterWorkQueuedLaterWithoutDelay) {
  SerialQueue queue("test.delay");
  std::vector<int> seen;
  std::promise<void> delayedRan;
  queue.asyncAfter(300ms, [&] {  // long enough that the next line always comes first
    seen.push_back(2);
    delayedRan.set_value();
  });
  queue.async([&] { seen.push_back(1); });
  delayedRan.get_future().wait();
  queue.sync([] {});
  EXPECT_EQ(seen, (std::vector<int>{1, 2}));
}

TEST(SerialQueueTest, DestructionRunsQueuedWorkAndDropsDelayedWork) {
  std::vector<int> seen;
  {
    SerialQueue queue("test.teardown");
    std::promise<void> release;
    std::shared_future<void> gate = release.get_future().share();
    queue.async([gate] { gate.wait(); });  // holds the queue while more work piles up
    for (int i = 0; i < 10; ++i) queue.async([&seen, i] { seen.push_back(i); });
    queue.asyncAfter(1h, [&seen] { seen.push_back(-1); });
    release.set_value();
  }
  EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
}

}  // namespace
}  // namespace platform
