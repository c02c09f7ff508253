#pragma once

#include <chrono>
#include <memory>
#include <stop_token>

#include <QCoroTask>

namespace veltovoice {

// The conversation model's time: the wall-clock time of day, and sleeps on a steady clock for the
// save debounce, the recording ticker and pauses between steps of longer jobs. The application
// uses system(); tests give a clock they advance by hand. GUI thread only.
class ModelClock {
 public:
  virtual ~ModelClock();

  // The current time of day.
  virtual std::chrono::system_clock::time_point now() const = 0;

  // Completes on the GUI thread `seconds` later, or soon after `stop` is requested (at once when
  // it already is); a stopped sleep is no error. Never throws. The caller checks `stop` afterwards
  // and, since anything may have happened meanwhile, every object it reaches again.
  virtual QCoro::Task<> sleep(double seconds, std::stop_token stop) = 0;

  // The system's clocks, sleeping on Qt timers of the event loop. Sleeps do not depend on the
  // returned object staying alive.
  // REQUIRES: a QCoreApplication exists while anything sleeps.
  static std::shared_ptr<ModelClock> system();
};

}  // namespace veltovoice
