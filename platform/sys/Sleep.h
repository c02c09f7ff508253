#pragma once

#include <chrono>
#include <stop_token>

namespace platform {

// Blocks the calling thread for `duration`, or until a stop is requested on `token`, whichever
// comes first. A stop (also one requested before the call) ends the wait at once.
// Throws CancellationError when a stop ended the wait. Safe from any thread.
void sleepFor(std::chrono::nanoseconds duration, std::stop_token token);

}  // namespace platform
