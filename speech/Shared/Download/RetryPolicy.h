#pragma once

#include <exception>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <utility>

#include "platform/sys/Error.h"
#include "speech/Shared/AppLogger.h"

namespace tesselaudio {

// The one place that decides whether a failure of model delivery is worth another try: a retry
// loop with exponential back-off that honours a server's Retry-After, and the two predicates that
// every model loader uses to decide between keeping the cache and purging it. Stateless; safe
// from any thread.
//
//   auto body = RetryPolicy::withRetry<std::string>("config.json", 4, 1.0, logger,
//       [&](int attempt) { return fetchOnce(attempt); }, stop);
namespace RetryPolicy {

// A failed attempt together with the delay the server asked for. Thrown only by attempts inside
// withRetry, which unwraps it: it never reaches withRetry's caller.
class RetryAfterHint : public platform::Error {
 public:
  // `underlying`: the real error (in practice a rate limit); `retryAfter`: seconds, not negative.
  RetryAfterHint(std::exception_ptr underlying, double retryAfter);

  double retryAfter() const { return retryAfter_; }

 private:
  double retryAfter_;
};

// The wait before the next attempt after `attempt` failed: backoff = minBackoff × 2^(attempt−1);
// hint = serverDelay capped at 30 s; the larger of the two. The wait is clamped far beyond any
// sane configuration so that it always fits a nanosecond count.
struct RetryWait {
  double seconds = 0;
  // Whether the server's hint was longer than the back-off (and so set the wait).
  bool fromServer = false;

  bool operator==(const RetryWait&) const = default;
};
RetryWait retryWait(int attempt, double minBackoff, double serverDelay);

// Runs `operation(attempt)` for attempt = 1, 2, ... until it succeeds, its error is not
// retryable, or `maxAttempts` attempts have failed; between attempts it logs one warning
// "Download attempt <n> for <label> failed: <description>. Retrying in <wait>s[ (server
// Retry-After)]." and waits. Returns the first result.
// Throws the last cause unchanged (a RetryAfterHint is unwrapped first); CancellationError when
// `stop` ends a wait.
// REQUIRES: maxAttempts >= 1, minBackoff >= 0.
void withRetry(const std::string& label, int maxAttempts, double minBackoff,
               const AppLogger& logger, const std::function<void(int attempt)>& operation,
               std::stop_token stop);

template <class T, class Operation>
T withRetry(const std::string& label, int maxAttempts, double minBackoff, const AppLogger& logger,
            Operation&& operation, std::stop_token stop) {
  std::optional<T> result;
  withRetry(label, maxAttempts, minBackoff, logger,
            [&](int attempt) { result.emplace(operation(attempt)); }, std::move(stop));
  return std::move(*result);
}

// True for transient failures: transport errors that time out, cannot connect, cannot find the
// host, lose the connection, find no network, fail a name lookup, fail TLS or find the resource
// unavailable; rate limits, stalls and invalid artifacts; a download that failed with HTTP
// 500 to 599. False for everything else, cancellations included.
bool isRetryable(const std::exception& error);
bool isRetryable(const std::exception_ptr& error);

// True for every form in which a cancellation arrives: CancellationError itself, or an error whose
// chain of underlying errors holds a cancelled transfer (URL error -999) or a user cancellation
// (Cocoa error 3072). A chain that loops back on itself ends with false.
bool isCancellation(const std::exception& error);
bool isCancellation(const std::exception_ptr& error);

}  // namespace RetryPolicy
}  // namespace tesselaudio
