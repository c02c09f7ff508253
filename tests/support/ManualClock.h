#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <stop_token>
#include <vector>

#include "app/Model/ModelClock.h"

namespace testsupport {

// A ModelClock that stands still until the test advances it: sleeps end only inside advance(), in
// the order of their deadlines, so debounces and tickers run without waiting. A sleep whose stop is
// requested ends on the event loop (QCoreApplication::processEvents). GUI thread only.
// Destroying the clock ends every sleep still pending, as a stop would; it must outlive the models
// using it.
class ManualClock : public veltovoice::ModelClock {
 public:
  // Starts at `start` (by default 2025-03-05 05:07:09 UTC).
  explicit ManualClock(std::chrono::system_clock::time_point start = defaultStart());
  ~ManualClock() override;

  ManualClock(const ManualClock&) = delete;
  ManualClock& operator=(const ManualClock&) = delete;

  std::chrono::system_clock::time_point now() const override;
  QCoro::Task<> sleep(double seconds, std::stop_token stop) override;

  // Moves time forward by `seconds`, ending on the way every sleep whose deadline is reached;
  // each ends with the clock standing at its deadline, so a sleep started by a woken coroutine
  // ends within the same call when its deadline is reached too.
  void advance(double seconds);

  // Seconds advanced since construction.
  double elapsed() const { return elapsed_; }
  // Sleeps neither ended nor stopped.
  int pendingSleeps() const;

  static std::chrono::system_clock::time_point defaultStart();

 private:
  struct Sleeper;
  class Awaiter;

  std::chrono::system_clock::time_point start_;
  double elapsed_ = 0;
  std::uint64_t nextOrder_ = 0;
  std::vector<std::shared_ptr<Sleeper>> sleepers_;
};

}  // namespace testsupport
