#include "platform/audio/PacedAudioInput.h"

#include <chrono>
#include <utility>

#include "platform/audio/AudioError.h"
#include "platform/sys/CancellationError.h"
#include "platform/sys/Sleep.h"

namespace platform {

PacedAudioInput::PacedAudioInput(Pacing pacing) : pacing_(std::move(pacing)) {}

PacedAudioInput::~PacedAudioInput() { stop(); }

void PacedAudioInput::start(Deliver deliver) {
  auto format = this->format();
  if (!format) throw AudioError::openFailed("input", "the input has no usable format");
  stop();
  {
    std::scoped_lock lock(mutex_);
    finished_ = false;
  }
  thread_ = std::jthread([this, deliver = std::move(deliver), format = *format](std::stop_token token) {
    run(token, deliver, format);
  });
}

void PacedAudioInput::stop() {
  if (thread_.joinable()) {
    thread_.request_stop();
    thread_.join();
  }
  std::scoped_lock lock(mutex_);
  finished_ = true;
  finishedChanged_.notify_all();
}

void PacedAudioInput::waitUntilFinished() {
  std::unique_lock lock(mutex_);
  finishedChanged_.wait(lock, [&] { return finished_; });
}

std::int64_t PacedAudioInput::framePosition() const {
  std::scoped_lock lock(mutex_);
  return framePosition_;
}

void PacedAudioInput::run(std::stop_token token, Deliver deliver, AudioFormat format) {
  const auto chunk = pacing_.chunkFrames == 0 ? 1024u : pacing_.chunkFrames;
  auto buffer = PcmBuffer::make(format, chunk);
  const auto startedAt = std::chrono::steady_clock::now();
  std::int64_t position = framePosition();
  const std::int64_t firstFrame = position;
  try {
    while (buffer && !token.stop_requested()) {
      if (pacing_.beforeChunk) pacing_.beforeChunk(position);
      produce(*buffer, chunk, position);
      if (buffer->frameLength() == 0) break;
      deliver(*buffer);
      position += buffer->frameLength();
      {
        std::scoped_lock lock(mutex_);
        framePosition_ = position;
      }
      if (pacing_.speed > 0) {
        // Paced against the start, so that slow deliveries do not add up to drift.
        const double seconds = double(position - firstFrame) / format.sampleRate() / pacing_.speed;
        const auto due = startedAt + std::chrono::duration_cast<std::chrono::nanoseconds>(
                                         std::chrono::duration<double>(seconds));
        sleepFor(due - std::chrono::steady_clock::now(), token);
      }
    }
  } catch (const CancellationError&) {
  } catch (const std::exception&) {
    // A file that fails to decode midway ends the input, as an unplugged device would.
  }
  std::scoped_lock lock(mutex_);
  finished_ = true;
  finishedChanged_.notify_all();
}

}  // namespace platform
