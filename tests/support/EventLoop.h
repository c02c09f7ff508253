#pragma once

#include <chrono>
#include <functional>

namespace testsupport {

// Runs the event loop until `done` holds, for at most `limit` of wall time: long enough for a
// busy machine running the whole suite, bounded so that a fault fails the test instead of hanging
// it. Returns done(). GUI thread only.
bool processEventsUntil(const std::function<bool()>& done,
                        std::chrono::milliseconds limit = std::chrono::seconds(60));

// Lets queued work run for a few turns of the event loop when there is nothing to wait for.
void settleEvents();

}  // namespace testsupport
