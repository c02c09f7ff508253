#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/audio/AudioInput.h"

namespace platform {

// An input that produces its audio itself, chunk by chunk, on its own thread, at real time or
// faster. The base of the file and generator inputs. start/stop/waitUntilFinished are safe from
// any thread but the input's own.
class PacedAudioInput : public AudioInput {
 public:
  struct Pacing {
    // 1 plays at real time, 10 ten times faster; 0 or less delivers as fast as the consumer takes it.
    double speed = 1.0;
    // Frames per delivered chunk (a capture device's period).
    std::uint32_t chunkFrames = 1024;
    // Called on the input's thread before the chunk that starts at this frame is produced; tests
    // use it to act at exact places in the audio.
    std::function<void(std::int64_t framePosition)> beforeChunk;
  };

  explicit PacedAudioInput(Pacing pacing);
  ~PacedAudioInput() override;

  // Continues from where a stop left off.
  void start(Deliver deliver) override;
  void stop() override;
  bool isTestInput() const override { return true; }

  // Waits until the whole audio has been delivered (or the input was stopped).
  void waitUntilFinished();

  // Frames delivered so far.
  std::int64_t framePosition() const;

 protected:
  // Fills `buffer` with up to `frames` frames from `framePosition` on and sets its frameLength;
  // 0 frames means the end. Runs on the input's thread.
  virtual void produce(PcmBuffer& buffer, std::uint32_t frames, std::int64_t framePosition) = 0;

 private:
  void run(std::stop_token token, Deliver deliver, AudioFormat format);

  const Pacing pacing_;

  mutable std::mutex mutex_;
  std::condition_variable finishedChanged_;
  bool finished_ = false;               // guarded by mutex_
  std::int64_t framePosition_ = 0;      // guarded by mutex_
  std::jthread thread_;
};

}  // namespace platform
