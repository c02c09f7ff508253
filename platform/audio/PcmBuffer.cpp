#include "platform/audio/PcmBuffer.h"

#include <algorithm>
#include <cassert>
#include <limits>
#include <new>

namespace platform {

PcmBuffer::PcmBuffer(const AudioFormat& format, std::uint32_t frameCapacity)
    : format_(format), frameCapacity_(frameCapacity) {}

std::unique_ptr<PcmBuffer> PcmBuffer::make(const AudioFormat& format, std::uint32_t frameCapacity) {
  const std::uint64_t sampleBytes = format.bytesPerSample();
  if (sampleBytes == 0) return nullptr;
  const std::uint32_t planes = format.isInterleaved() ? 1 : format.channelCount();
  const std::uint32_t channelsPerPlane = format.isInterleaved() ? format.channelCount() : 1;
  const std::uint64_t planeBytes = sampleBytes * channelsPerPlane * frameCapacity;
  if (planeBytes > std::numeric_limits<std::uint32_t>::max()) return nullptr;

  std::unique_ptr<PcmBuffer> buffer(new PcmBuffer(format, frameCapacity));
  try {
    for (std::uint32_t p = 0; p < planes; ++p) {
      // At least one byte, so that every plane has an address even at capacity 0.
      buffer->storage_.emplace_back(new std::byte[std::max<std::uint64_t>(planeBytes, 1)]());
      buffer->buffers_.push_back(AudioBuffer{channelsPerPlane, static_cast<std::uint32_t>(planeBytes),
                                             buffer->storage_.back().get()});
    }
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  if (format.commonFormat() == CommonFormat::pcmFormatFloat32 && !format.isInterleaved()) {
    for (auto& b : buffer->buffers_) buffer->floatPlanes_.push_back(static_cast<float*>(b.data));
  }
  return buffer;
}

void PcmBuffer::setFrameLength(std::uint32_t frames) {
  assert(frames <= frameCapacity_);
  frameLength_ = std::min(frames, frameCapacity_);
}

}  // namespace platform
