#include "platform/sys/CancellationError.h"

namespace platform {

CancellationError::CancellationError()
    : Error("CancellationError", "Swift.CancellationError", 1, "The operation was cancelled.") {}

void CancellationError::throwIfRequested(const std::stop_token& token) {
  if (token.stop_requested()) throw CancellationError();
}

}  // namespace platform
