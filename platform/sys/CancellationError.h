#pragma once

#include <exception>
#include <stop_token>

#include "platform/sys/Error.h"

namespace platform {

// Thrown by an operation whose stop token was triggered. Callers pass it on and never report it as
// a failure: every `catch` for failures begins with `catch (const CancellationError&) { throw; }`.
class CancellationError : public Error {
 public:
  CancellationError();
  // A cancellation that ended a lower-level operation, which `underlying` describes (for example
  // the transfer that a stop aborted).
  explicit CancellationError(std::exception_ptr underlying);

  // Throws CancellationError when a stop was requested on `token`.
  static void throwIfRequested(const std::stop_token& token);
};

}  // namespace platform
