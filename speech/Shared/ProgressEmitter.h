#pragma once

#include <exception>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/sys/Channel.h"

namespace tesselaudio {

// Turns a long operation's progress into a stream of fractions in [0, 1]. One stream covers one
// session: it starts with 0.0, carries the reported fractions in order, and ends with 1.0 and the
// normal end, or with an error. Safe from any thread; operations run one at a time.
//
//   ProgressEmitter emitter;
//   auto stream = emitter.ensureSession();     // consumer: while (auto f = stream->receive())
//   emitter.report(0.4);
//   emitter.finishSession();
class ProgressEmitter {
 public:
  // The consumer's end, shared by every caller of ensureSession() within one session.
  using Stream = std::shared_ptr<platform::Channel<double>::Receiver>;

  ProgressEmitter() = default;
  ProgressEmitter(const ProgressEmitter&) = delete;
  ProgressEmitter& operator=(const ProgressEmitter&) = delete;

  // The current session's stream; opens a session (pushing 0.0) when there is none.
  Stream ensureSession();

  // Pushes `progress` clamped to [0, 1] (not-a-number as 0) while a session is open; otherwise
  // does nothing.
  void report(double progress);

  // Pushes 1.0 and ends the stream normally; does nothing without an open session.
  void finishSession();

  // Ends the current stream, if any, with `error`; the emitter is idle afterwards. Never throws.
  void failSession(std::exception_ptr error);

 private:
  Stream startSession();

  std::mutex mutex_;
  // Guarded by mutex_.
  std::optional<platform::Channel<double>::Sender> continuation_;
  Stream streamStorage_;
  bool isActive_ = false;
};

}  // namespace tesselaudio
