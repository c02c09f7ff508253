#include "platform/sys/Channel.h"

#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace platform {
namespace {

TEST(ChannelTest, DeliversEveryValueThenTheEnd) {
  auto [sender, receiver] = Channel<int>::make();
  std::jthread producer([s = sender] {
    for (int i = 0; i < 1000; ++i) ASSERT_TRUE(s.send(i));
    s.finish();
  });
  std::vector<int> got;
  while (auto v = receiver.receive()) got.push_back(*v);
  ASSERT_EQ(got.size(), 1000u);
  for (int i = 0; i < 1000; ++i) EXPECT_EQ(got[i], i);
  EXPECT_EQ(receiver.receive(), std::nullopt);
}

TEST(ChannelTest, ErrorComesAfterTheValuesSentBeforeIt) {
  auto [sender, receiver] = Channel<int>::make();
  sender.send(1);
  sender.fail(std::make_exception_ptr(std::runtime_error("broken")));
  EXPECT_FALSE(sender.send(2));
  EXPECT_EQ(receiver.receive(), 1);
  EXPECT_THROW(receiver.receive(), std::runtime_error);
}

TEST(ChannelTest, SendReportsAConsumerThatIsGone) {
  auto [sender, receiver] = Channel<int>::make();
  EXPECT_TRUE(sender.send(1));
  receiver.close();
  EXPECT_TRUE(sender.isConsumerGone());
  EXPECT_FALSE(sender.send(2));

  auto [sender2, receiver2] = Channel<int>::make();
  { auto dropped = std::move(receiver2); }
  EXPECT_FALSE(sender2.send(1));
}

TEST(ChannelTest, LastSenderGoneEndsTheStream) {
  auto [sender, receiver] = Channel<std::string>::make();
  {
    auto copy = sender;
    copy.send("a");
    auto gone = std::move(sender);
  }
  EXPECT_EQ(receiver.receive(), "a");
  EXPECT_EQ(receiver.receive(), std::nullopt);
}

TEST(ChannelTest, StoppedWaitThrowsCancellation) {
  auto [sender, receiver] = Channel<int>::make();
  std::stop_source stop;
  std::jthread stopper([&] { stop.request_stop(); });
  EXPECT_THROW(receiver.receive(stop.get_token()), CancellationError);
  EXPECT_TRUE(sender.send(1));
}

}  // namespace
}  // namespace platform
