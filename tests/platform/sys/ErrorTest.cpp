#include "platform/sys/Error.h"

#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "platform/sys/CancellationError.h"
#include "platform/sys/Environment.h"
#include "platform/sys/Sleep.h"

namespace platform {
namespace {

using namespace std::chrono_literals;

TEST(ErrorTest, OldConstructorHasNoPathAndNoUnderlying) {
  const Error error("T", "D", 3, "text");
  EXPECT_EQ(error.filePath(), std::nullopt);
  EXPECT_EQ(error.underlying(), nullptr);
  EXPECT_FALSE(error.underlyingException());
  EXPECT_STREQ(error.what(), "text");
}

TEST(ErrorTest, KeepsPathAndUnderlyingChainAcrossCopies) {
  const auto inner = std::make_exception_ptr(Error("Inner", "NSURLErrorDomain", -999, "cancelled"));
  const auto middle = std::make_exception_ptr(Error("Middle", "M", 1, "m", std::nullopt, inner));
  Error outer("Outer", "O", 2, "o", std::filesystem::path("/tmp/x.partial"), middle);
  const Error copy = outer;
  outer = Error("Other", "O", 0, "replaced");

  EXPECT_EQ(copy.filePath(), std::filesystem::path("/tmp/x.partial"));
  ASSERT_NE(copy.underlying(), nullptr);
  EXPECT_EQ(copy.underlying()->typeName(), "Middle");
  ASSERT_NE(copy.underlying()->underlying(), nullptr);
  EXPECT_EQ(copy.underlying()->underlying()->code(), -999);
  EXPECT_THROW(std::rethrow_exception(copy.underlyingException()), Error);
}

TEST(ErrorTest, ForeignUnderlyingIsKeptButIsNoRecord) {
  const Error error("T", "D", 1, "d", std::nullopt,
                    std::make_exception_ptr(std::runtime_error("plain")));
  EXPECT_EQ(error.underlying(), nullptr);
  EXPECT_THROW(std::rethrow_exception(error.underlyingException()), std::runtime_error);
}

TEST(EnvironmentTest, DistinguishesEmptyFromAbsent) {
  ::setenv("VELTO_ENV_TEST_EMPTY", "", 1);
  ::setenv("VELTO_ENV_TEST_SET", "value", 1);
  ::unsetenv("VELTO_ENV_TEST_ABSENT");
  EXPECT_EQ(Environment::value("VELTO_ENV_TEST_EMPTY"), "");
  EXPECT_EQ(Environment::value("VELTO_ENV_TEST_SET"), "value");
  EXPECT_EQ(Environment::value("VELTO_ENV_TEST_ABSENT"), std::nullopt);
}

TEST(SleepTest, ReturnsAfterTheDurationWithoutStop) {
  EXPECT_NO_THROW(sleepFor(1ms, std::stop_token()));
}

TEST(SleepTest, StopEndsALongSleepWithCancellation) {
  std::stop_source stop;
  auto sleeping = std::async(std::launch::async, [&] { sleepFor(std::chrono::hours(1), stop.get_token()); });
  stop.request_stop();
  ASSERT_EQ(sleeping.wait_for(10s), std::future_status::ready);
  EXPECT_THROW(sleeping.get(), CancellationError);
}

TEST(SleepTest, HugeDurationDoesNotOverflow) {
  std::stop_source stop;
  stop.request_stop();
  EXPECT_THROW(sleepFor(std::chrono::nanoseconds::max(), stop.get_token()), CancellationError);
}

}  // namespace
}  // namespace platform
