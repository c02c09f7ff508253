#pragma once

#include <functional>
#include <optional>

#include "platform/audio/AudioFormat.h"
#include "platform/audio/PcmBuffer.h"

namespace platform {

// Where an audio engine's input node gets its audio: the default capture device, or a file or a
// generator for tests and headless runs. An input delivers 32-bit float, non-interleaved buffers
// of any length in format() on a thread of its own. Driven by one engine at a time.
class AudioInput {
 public:
  // Called on the input's thread; the buffer is borrowed for the call.
  using Deliver = std::function<void(const PcmBuffer&)>;

  virtual ~AudioInput() = default;

  // The format the input delivers in, or nothing when it has no usable format (no device, no
  // channels, a rate of 0).
  virtual std::optional<AudioFormat> format() = 0;

  // Starts delivering to `deliver`. Throws AudioError (cannotOpen) when the input cannot start.
  // REQUIRES: not running.
  virtual void start(Deliver deliver) = 0;

  // Stops delivering; once it returns, `deliver` is not called again. Harmless when not running.
  virtual void stop() = 0;

  // True when the input stands in for a capture device (file, generator): capture is allowed
  // without a device then.
  virtual bool isTestInput() const = 0;
};

}  // namespace platform
