#include "platform/sys/TaskGroup.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>

#include <gtest/gtest.h>

namespace platform {
namespace {

using namespace std::chrono_literals;

// A task that waits for its stop token (with a guard against a hang) and notes that it saw it.
TaskGroup::Task waitsForStop(std::atomic<int>& stopped) {
  return [&stopped](std::stop_token token) {
    std::mutex mutex;
    std::condition_variable_any woken;
    std::unique_lock lock(mutex);
    woken.wait_for(lock, token, 20s, [] { return false; });
    if (token.stop_requested()) ++stopped;
  };
}

TEST(TaskGroupTest, FirstFailureStopsTheOthersAndIsRethrownOnceTheyEnded) {
  std::atomic<int> stopped = 0;
  TaskGroup group;
  group.add(waitsForStop(stopped));
  group.add(waitsForStop(stopped));
  group.add([](std::stop_token) { throw std::runtime_error("broken file"); });

  try {
    while (group.next()) {
    }
    FAIL() << "expected the failure";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "broken file");
  }
  EXPECT_EQ(stopped, 2);
  EXPECT_EQ(group.size(), 0u);
}

TEST(TaskGroupTest, ParentStopReachesTasksRunningAndAddedLater) {
  std::stop_source parent;
  std::atomic<int> stopped = 0;
  TaskGroup group(parent.get_token());
  group.add(waitsForStop(stopped));
  parent.request_stop();
  group.add(waitsForStop(stopped));

  int collected = 0;
  while (group.next()) ++collected;

  EXPECT_EQ(collected, 2);
  EXPECT_EQ(stopped, 2);
}

TEST(TaskGroupTest, CollectsTasksInTheOrderTheyEnded) {
  std::mutex mutex;
  std::condition_variable changed;
  bool firstMayEnd = false;
  std::vector<int> ended;
  TaskGroup group;
  group.add([&](std::stop_token) {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, 20s, [&] { return firstMayEnd; });
    ended.push_back(1);
  });
  group.add([&](std::stop_token) {
    std::scoped_lock lock(mutex);
    ended.push_back(2);
  });

  EXPECT_TRUE(group.next());  // the second task, while the first still waits
  {
    std::scoped_lock lock(mutex);
    EXPECT_EQ(ended, std::vector<int>{2});
    firstMayEnd = true;
  }
  changed.notify_all();
  EXPECT_TRUE(group.next());
  EXPECT_FALSE(group.next());
  EXPECT_EQ(ended, (std::vector<int>{2, 1}));
}

TEST(TaskGroupTest, DestructionStopsAndWaitsForRunningTasks) {
  std::atomic<int> stopped = 0;
  {
    TaskGroup group;
    group.add(waitsForStop(stopped));
    group.add(waitsForStop(stopped));
  }
  EXPECT_EQ(stopped, 2);
}

}  // namespace
}  // namespace platform
