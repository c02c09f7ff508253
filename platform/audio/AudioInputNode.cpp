#include "platform/audio/AudioInputNode.h"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "platform/audio/AudioInput.h"

namespace platform {

std::optional<AudioFormat> AudioInputNode::outputFormat(int bus) const {
  std::scoped_lock lock(inputMutex_);
  if (bus != 0 || !input_) return std::nullopt;
  return input_->format();
}

void AudioInputNode::installTap(int bus, std::uint32_t bufferSize, const AudioFormat& format,
                                TapBlock block) {
  assert(bus == 0 && bufferSize > 0);
  (void)bus;
  std::scoped_lock lock(tapMutex_);
  tap_ = std::move(block);
  pending_ = PcmBuffer::make(AudioFormat::float32(format.sampleRate(), format.channelCount()),
                             bufferSize);
}

void AudioInputNode::removeTap(int bus) {
  if (bus != 0) return;
  std::scoped_lock lock(tapMutex_);
  tap_ = nullptr;
  pending_.reset();
}

void AudioInputNode::setInput(AudioInput* input) {
  std::scoped_lock lock(inputMutex_);
  input_ = input;
}

void AudioInputNode::receive(const PcmBuffer& buffer) {
  std::scoped_lock lock(tapMutex_);
  if (!tap_ || !pending_ || !(buffer.format() == pending_->format())) return;
  const auto* in = buffer.floatChannelData();
  auto* out = pending_->floatChannelData();
  if (!in || !out) return;
  const auto channels = buffer.format().channelCount();
  std::uint32_t taken = 0;
  while (taken < buffer.frameLength()) {
    const auto at = pending_->frameLength();
    const auto n = std::min(pending_->frameCapacity() - at, buffer.frameLength() - taken);
    for (std::uint32_t c = 0; c < channels; ++c)
      std::memcpy(out[c] + at, in[c] + taken, n * sizeof(float));
    pending_->setFrameLength(at + n);
    taken += n;
    if (pending_->frameLength() == pending_->frameCapacity()) {
      tap_(*pending_);
      pending_->setFrameLength(0);
    }
  }
}

}  // namespace platform
