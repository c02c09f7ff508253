#include "speech/Shared/Download/RetryPolicy.h"

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/net/HttpStatusError.h"
#include "platform/net/TransportError.h"
#include "platform/sys/CancellationError.h"
#include "speech/Shared/Download/DownloadError.h"
#include "tests/support/SystemLogCapture.h"

namespace tesselaudio {
namespace {

using namespace std::chrono_literals;
using platform::TransportError;

std::exception_ptr transport(TransportError::Code code) {
  return std::make_exception_ptr(TransportError(code, "http://127.0.0.1:9/x"));
}

std::exception_ptr failedWithStatus(int status) {
  return std::make_exception_ptr(
      DownloadError::downloadFailed("f.bin", std::make_exception_ptr(platform::HttpStatusError(status))));
}

TEST(RetryPolicyTest, WaitDoublesAndHonoursTheServerUpToThirtySeconds) {
  struct Case {
    const char* name;
    int attempt;
    double minBackoff, serverDelay;
    RetryPolicy::RetryWait expected;
  };
  const Case cases[] = {
      {"firstAttempt", 1, 1.0, 0, {1.0, false}},
      {"secondAttempt", 2, 1.0, 0, {2.0, false}},
      {"thirdAttempt", 3, 1.0, 0, {4.0, false}},
      {"longHintCappedAtThirty", 1, 1.0, 120, {30.0, true}},
      {"backoffLargerThanHint", 4, 1.0, 5, {8.0, false}},
      {"hintEqualToBackoff", 3, 1.0, 4, {4.0, false}},
      {"zeroBackoffTakesTheHint", 1, 0.0, 0.05, {0.05, true}},
      {"hugeAttemptIsClampedNotOverflowed", 5000, 1.0, 0, {9.2e9, false}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(RetryPolicy::retryWait(c.attempt, c.minBackoff, c.serverDelay), c.expected);
  }
}

class WithRetryTest : public ::testing::Test {
 protected:
  std::vector<std::string> warnings() const {
    std::vector<std::string> out;
    for (const auto& record : capture_.records()) {
      if (record.category == "DownloadUtils") out.push_back(record.message);
    }
    return out;
  }

  // Runs withRetry over a script of outcomes (null = success) and returns the attempts made.
  int run(std::vector<std::exception_ptr> script, int maxAttempts, std::stop_token stop = {}) {
    int attempts = 0;
    const int value = RetryPolicy::withRetry<int>(
        "model.bin", maxAttempts, 0.0, logger_,
        [&](int attempt) {
          EXPECT_EQ(attempt, attempts + 1);
          ++attempts;
          if (auto failure = script.at(attempt - 1)) std::rethrow_exception(failure);
          return 42;
        },
        stop);
    EXPECT_EQ(value, 42);
    return attempts;
  }

  testsupport::SystemLogCapture capture_;
  AppLogger logger_{"DownloadUtils"};
};

TEST_F(WithRetryTest, RetriesTransientFailuresWithOneLineEach) {
  EXPECT_EQ(run({transport(TransportError::Code::timedOut), failedWithStatus(502), nullptr}, 4), 3);
  const auto lines = warnings();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0],
            "Download attempt 1 for model.bin failed: The request timed out. (http://127.0.0.1:9/x). "
            "Retrying in 0.0s.");
  EXPECT_EQ(lines[1].rfind("Download attempt 2 for model.bin failed: Failed to download f.bin: ", 0), 0u);
}

TEST_F(WithRetryTest, PassesOnWithoutWaitingOrLogging) {
  struct Case {
    const char* name;
    std::exception_ptr failure;
    int maxAttempts;
  };
  const Case cases[] = {
      {"singleAttempt", transport(TransportError::Code::timedOut), 1},
      {"notRetryable", failedWithStatus(404), 4},
      {"cancellation", std::make_exception_ptr(platform::CancellationError()), 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int attempts = 0;
    EXPECT_THROW(RetryPolicy::withRetry(
                     "x", c.maxAttempts, 1000.0, logger_,
                     [&](int) {
                       ++attempts;
                       std::rethrow_exception(c.failure);
                     },
                     {}),
                 std::exception);
    EXPECT_EQ(attempts, 1);
  }
  EXPECT_TRUE(warnings().empty());
}

TEST_F(WithRetryTest, LastFailureReachesTheCallerUnwrapped) {
  const auto hinted = std::make_exception_ptr(RetryPolicy::RetryAfterHint(
      std::make_exception_ptr(DownloadError::rateLimited(429, "slow down")), 0.01));
  try {
    run({hinted, hinted}, 2);
    ADD_FAILURE() << "no error";
  } catch (const DownloadError& error) {
    EXPECT_EQ(error.errorCase(), DownloadError::Case::rateLimited);
  }
  const auto lines = warnings();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0],
            "Download attempt 1 for model.bin failed: Hugging Face rate limit encountered: slow down. "
            "Retrying in 0.0s (server Retry-After).");
}

TEST_F(WithRetryTest, StopDuringTheWaitEndsWithCancellation) {
  std::stop_source stop;
  auto pending = std::async(std::launch::async, [&] {
    RetryPolicy::withRetry(
        "x", 2, 30.0, logger_,
        [&](int) -> void { throw DownloadError::stalled("x", 1); }, stop.get_token());
  });
  // Give the loop a moment to reach its 30 s wait; a stop before it would end it just the same.
  std::this_thread::sleep_for(10ms);
  stop.request_stop();
  ASSERT_EQ(pending.wait_for(10s), std::future_status::ready);
  EXPECT_THROW(pending.get(), platform::CancellationError);
}

TEST(RetryPolicyPredicateTest, IsRetryable) {
  using Code = TransportError::Code;
  struct Case {
    const char* name;
    std::exception_ptr error;
    bool expected;
  };
  const Case cases[] = {
      {"timedOut", transport(Code::timedOut), true},
      {"cannotConnect", transport(Code::cannotConnectToHost), true},
      {"cannotFindHost", transport(Code::cannotFindHost), true},
      {"connectionLost", transport(Code::networkConnectionLost), true},
      {"notConnected", transport(Code::notConnectedToInternet), true},
      {"dnsLookupFailed", transport(Code::dnsLookupFailed), true},
      {"secureConnectionFailed", transport(Code::secureConnectionFailed), true},
      {"resourceUnavailable", transport(Code::resourceUnavailable), true},
      {"transportCancelled", transport(Code::cancelled), false},
      {"tooLarge", transport(Code::dataLengthExceedsMaximum), false},
      {"rateLimited", std::make_exception_ptr(DownloadError::rateLimited(429, "m")), true},
      {"stalled", std::make_exception_ptr(DownloadError::stalled("p", 120)), true},
      {"invalidArtifact", std::make_exception_ptr(DownloadError::invalidArtifact("p", "r")), true},
      {"http500", failedWithStatus(500), true},
      {"http599", failedWithStatus(599), true},
      {"http404", failedWithStatus(404), false},
      {"downloadFailedByTransport",
       std::make_exception_ptr(DownloadError::downloadFailed("p", transport(Code::timedOut))), false},
      {"modelNotFound", std::make_exception_ptr(DownloadError::modelNotFound("p")), false},
      {"html", std::make_exception_ptr(DownloadError::htmlErrorResponse("p", "s")), false},
      {"networkDisabled", std::make_exception_ptr(DownloadError::networkDisabled("o")), false},
      {"modelMissing", std::make_exception_ptr(DownloadError::modelMissing("r", {})), false},
      {"invalidResponse", std::make_exception_ptr(DownloadError::invalidResponse()), false},
      {"cancellation", std::make_exception_ptr(platform::CancellationError()), false},
      {"foreign", std::make_exception_ptr(std::runtime_error("x")), false},
      {"notAnException", std::make_exception_ptr(7), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(RetryPolicy::isRetryable(c.error), c.expected);
  }
}

TEST(RetryPolicyPredicateTest, IsCancellationWalksTheChain) {
  const auto cancelledTransfer = transport(TransportError::Code::cancelled);
  const auto nested = std::make_exception_ptr(platform::Error(
      "Outer", "X", 1, "outer", std::nullopt,
      std::make_exception_ptr(DownloadError::downloadFailed("p", cancelledTransfer))));
  struct Case {
    const char* name;
    std::exception_ptr error;
    bool expected;
  };
  const Case cases[] = {
      {"taskCancellation", std::make_exception_ptr(platform::CancellationError()), true},
      {"cancelledTransfer", cancelledTransfer, true},
      {"nestedTwice", nested, true},
      {"userCancelled", std::make_exception_ptr(platform::Error("E", "NSCocoaErrorDomain", 3072, "c")), true},
      {"otherCocoaError", std::make_exception_ptr(platform::Error("E", "NSCocoaErrorDomain", 4, "c")), false},
      {"timedOut", transport(TransportError::Code::timedOut), false},
      {"foreign", std::make_exception_ptr(std::runtime_error("x")), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(RetryPolicy::isCancellation(c.error), c.expected);
  }
}

TEST(RetryPolicyPredicateTest, LoopingChainEndsWithFalse) {
  // Make an error that names itself as its underlying error: assign into the thrown object.
  const auto looped = std::make_exception_ptr(platform::Error("A", "X", 1, "a"));
  platform::Error* inside = nullptr;
  try {
    std::rethrow_exception(looped);
  } catch (platform::Error& error) {
    inside = &error;
  }
  *inside = platform::Error("A", "X", 1, "a", std::nullopt, looped);
  ASSERT_EQ(inside->underlying(), inside);
  EXPECT_FALSE(RetryPolicy::isCancellation(looped));
  *inside = platform::Error("A", "X", 1, "a");  // break the cycle so that nothing leaks
}

}  // namespace
}  // namespace tesselaudio
