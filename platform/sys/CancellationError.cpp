#include "platform/sys/CancellationError.h"

#include <utility>

namespace platform {

namespace {
constexpr const char* kDomain = "Swift.CancellationError";
constexpr const char* kDescription = "The operation was cancelled.";
}  // namespace

CancellationError::CancellationError() : Error("CancellationError", kDomain, 1, kDescription) {}

CancellationError::CancellationError(std::exception_ptr underlying)
    : Error("CancellationError", kDomain, 1, kDescription, std::nullopt, std::move(underlying)) {}

void CancellationError::throwIfRequested(const std::stop_token& token) {
  if (token.stop_requested()) throw CancellationError();
}

}  // namespace platform
