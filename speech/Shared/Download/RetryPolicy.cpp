#include "speech/Shared/Download/RetryPolicy.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <set>

#include <fmt/format.h>

#include "platform/net/TransportError.h"
#include "platform/sys/CancellationError.h"
#include "platform/sys/Sleep.h"
#include "speech/Shared/Download/DownloadError.h"

namespace tesselaudio::RetryPolicy {

namespace {

constexpr double kMaxServerDelaySeconds = 30.0;
// About 292 years: the largest wait whose nanoseconds fit a signed 64-bit count.
constexpr double kMaxWaitSeconds = 9.2e9;

// The cause of a failed attempt and the server's delay, with the hint wrapper taken off.
struct Failure {
  std::exception_ptr cause;
  double serverDelay = 0;
};

Failure unwrap(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const RetryAfterHint& hint) {
    return {hint.underlyingException(), hint.retryAfter()};
  } catch (...) {
    return {error, 0};
  }
}

bool isTransientTransportCode(int code) {
  using Code = platform::TransportError::Code;
  switch (static_cast<Code>(code)) {
    case Code::timedOut:
    case Code::cannotConnectToHost:
    case Code::cannotFindHost:
    case Code::networkConnectionLost:
    case Code::notConnectedToInternet:
    case Code::dnsLookupFailed:
    case Code::secureConnectionFailed:
    case Code::resourceUnavailable: return true;
    default: return false;
  }
}

}  // namespace

RetryAfterHint::RetryAfterHint(std::exception_ptr underlying, double retryAfter)
    : platform::Error("RetryPolicy.RetryAfterHint", "TesselAudio.RetryPolicy.RetryAfterHint", 0,
                      fmt::format("{} (retry after {:.1f}s)", platform::Error::messageOf(underlying), retryAfter),
                      std::nullopt, underlying),
      retryAfter_(std::max(retryAfter, 0.0)) {}

RetryWait retryWait(int attempt, double minBackoff, double serverDelay) {
  const double exponent = std::max(attempt - 1, 0);
  const double base = minBackoff > 0 ? minBackoff : 0.0;
  // Clamped before it becomes a nanosecond count: 2^(attempt−1) overflows for large attempts.
  const double backoff = std::min(base * std::exp2(exponent), kMaxWaitSeconds);
  const double hint = serverDelay > 0 ? std::min(serverDelay, kMaxServerDelaySeconds) : 0.0;
  if (backoff <= hint) return RetryWait{hint, backoff < hint};
  return RetryWait{backoff, false};
}

void withRetry(const std::string& label, int maxAttempts, double minBackoff,
               const AppLogger& logger, const std::function<void(int attempt)>& operation,
               std::stop_token stop) {
  for (int attempt = 1;; ++attempt) {
    std::exception_ptr error;
    try {
      operation(attempt);
      return;
    } catch (...) {
      error = std::current_exception();
    }
    const Failure failure = unwrap(error);
    if (attempt >= maxAttempts || !isRetryable(failure.cause)) std::rethrow_exception(failure.cause);

    const RetryWait wait = retryWait(attempt, minBackoff, failure.serverDelay);
    logger.warning(fmt::format("Download attempt {} for {} failed: {}. Retrying in {:.1f}s{}.",
                               attempt, label, platform::Error::messageOf(failure.cause), wait.seconds,
                               wait.fromServer ? " (server Retry-After)" : ""));
    platform::sleepFor(std::chrono::duration_cast<std::chrono::nanoseconds>(
                           std::chrono::duration<double>(wait.seconds)),
                       stop);
  }
}

bool isRetryable(const std::exception& error) {
  if (const auto* transport = dynamic_cast<const platform::TransportError*>(&error)) {
    return isTransientTransportCode(transport->code());
  }
  const auto* download = dynamic_cast<const DownloadError*>(&error);
  if (download == nullptr) return false;
  switch (download->errorCase()) {
    case DownloadError::Case::rateLimited:
    case DownloadError::Case::stalled:
    case DownloadError::Case::invalidArtifact: return true;
    case DownloadError::Case::downloadFailed: {
      const platform::Error* status = download->underlying();
      return status != nullptr && status->domain() == "HTTP" && status->code() >= 500 &&
             status->code() <= 599;
    }
    default: return false;
  }
}

bool isRetryable(const std::exception_ptr& error) {
  if (!error) return false;
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return isRetryable(e);
  } catch (...) {
    return false;
  }
}

bool isCancellation(const std::exception& error) {
  if (dynamic_cast<const platform::CancellationError*>(&error) != nullptr) return true;
  std::set<const platform::Error*> seen;
  for (const auto* record = dynamic_cast<const platform::Error*>(&error); record != nullptr;
       record = record->underlying()) {
    if (!seen.insert(record).second) return false;
    if (record->domain() == platform::TransportError::kDomain && record->code() == -999) return true;
    if (record->domain() == "NSCocoaErrorDomain" && record->code() == 3072) return true;
  }
  return false;
}

bool isCancellation(const std::exception_ptr& error) {
  if (!error) return false;
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return isCancellation(e);
  } catch (...) {
    return false;
  }
}

}  // namespace tesselaudio::RetryPolicy
