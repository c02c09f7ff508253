#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/audio/AudioFormat.h"
#include "platform/audio/PcmBuffer.h"

namespace platform {

class AudioInput;

// The input node of an AudioEngine: reports the input's format on bus 0 and hands its audio to a
// tap in buffers of the tap's size, on the input's thread. Made and owned by the engine; its
// functions are safe from any thread but the tap's own.
class AudioInputNode {
 public:
  // Called on the input's thread with each full buffer (borrowed for the call).
  using TapBlock = std::function<void(const PcmBuffer& buffer)>;

  AudioInputNode(const AudioInputNode&) = delete;
  AudioInputNode& operator=(const AudioInputNode&) = delete;

  // The format the input delivers in on `bus`, or nothing when the input reports no usable format
  // (no device, no channels, a rate of 0). Only bus 0 exists.
  std::optional<AudioFormat> outputFormat(int bus) const;

  // Installs `block` on `bus`, to receive buffers of `bufferSize` frames in `format` while the
  // engine runs. Audio in any other format is dropped.
  // REQUIRES: bus == 0, no tap installed there, bufferSize > 0.
  void installTap(int bus, std::uint32_t bufferSize, const AudioFormat& format, TapBlock block);

  // Removes the tap on `bus`; once it returns, the block is not called again. Harmless without one.
  void removeTap(int bus);

 private:
  friend class AudioEngine;
  AudioInputNode() = default;

  void setInput(AudioInput* input);
  // Cuts the input's audio into tap buffers; called on the input's thread.
  void receive(const PcmBuffer& buffer);

  mutable std::mutex inputMutex_;
  AudioInput* input_ = nullptr;  // guarded by inputMutex_; owned by the engine

  // Held while a tap block runs, so that removeTap waits for it.
  std::mutex tapMutex_;
  TapBlock tap_;                          // guarded by tapMutex_
  std::unique_ptr<PcmBuffer> pending_;    // guarded by tapMutex_: the tap buffer being filled
};

}  // namespace platform
